// The contacts file beside the configuration. Plain functions over the file.
#pragma once

#include "messenger/support/config.h"

#include <string>
#include <vector>

// The contacts added with --add-contact, in a file beside the configuration
// (besideConfig, ".contacts"): one bare JID per line, '#'
// starts a comment line. The file decides who may become a contact, so it
// is held to the same owner and mode as the configuration.
//
// Adds the file's JIDs to config.contacts (those already there are not
// added again). A file that does not exist adds nothing; every bad line is
// one error "<file>:<line>: <reason>", as parseConfig reports them.
bool loadContactsFile(const std::string& path, MessengerConfig& config, std::vector<std::string>& errors);
// Appends `jid` to the contacts file unless it is listed already; the file
// is made with mode 0600 when it does not exist. False with `error`.
bool addToContactsFile(const std::string& path, const std::string& jid, std::string& error);
