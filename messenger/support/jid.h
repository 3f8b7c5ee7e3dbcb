// JIDs as the daemon stores and compares them. Plain functions.
#pragma once

#include <string>
#include <vector>

// The form in which a JID is stored and compared: the local part and the
// domain prepared as XMPP addresses are (stringprep's nodeprep and nameprep:
// case-insensitive), the resource as it is.
std::string normalizeJid(const std::string& jid);

// True when `jid` is a bare JID "node@domain" without blanks or resource.
bool isBareJid(const std::string& jid);

// The bare part of a full JID ("a@b/r" gives "a@b").
std::string bareOf(const std::string& full);

// Adds the bare JID `jid` to `contacts` in its normal form; false when it is
// listed there already.
bool appendContact(std::vector<std::string>& contacts, const std::string& jid);
