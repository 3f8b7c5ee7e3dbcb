// The command lines a program sends, read into a Command. Keywords are
// matched without regard to case; names, handles and texts are kept as sent.
// Pure functions, no state.
#pragma once

#include <string>

enum class CommandKind {
    Invalid,               // errorCode/errorText say why
    Ping,                  // PING
    SearchFriends,         // SEARCH FRIENDS
    GetCurrentUserHandle,  // GET CURRENTUSERHANDLE
    GetUserStatus,         // GET USERSTATUS
    GetOnlineStatus,       // GET USER <h> ONLINESTATUS
    GetConnectable,        // GET APPLICATION <n> CONNECTABLE
    CreateApplication,     // CREATE APPLICATION <n>
    DeleteApplication,     // DELETE APPLICATION <n>
    Connect,               // ALTER APPLICATION <n> CONNECT <h>
    Write,                 // ALTER APPLICATION <n> WRITE <h>:<id> <text>
    Read,                  // ALTER APPLICATION <n> READ <h>:<id>
    Disconnect,            // ALTER APPLICATION <n> DISCONNECT <h>:<id>
};

// Error numbers of "ERROR <number> <text>".
constexpr int kErrorUnknownCommand = 2;
constexpr int kErrorSyntax = 3;
constexpr int kErrorInvalidHandle = 7;
constexpr int kErrorUnknownApplication = 540;
constexpr int kErrorUnknownStream = 541;
constexpr int kErrorTextTooLong = 542;
constexpr int kErrorNothingToRead = 543;

// The longest WRITE text: one text travels as one in-band data block of at
// most 65535 bytes, with the compact form's tag byte and the seal's 16-byte
// tag.
constexpr size_t kMaxTextLength = 65518;

struct Command {
    CommandKind kind = CommandKind::Invalid;
    std::string app;   // application name
    std::string user;  // handle
    int id = 0;        // stream id
    std::string text;  // WRITE text
    int errorCode = 0;
    std::string errorText;
};

Command parseCommand(const std::string& line);
std::string errorLine(int code, const std::string& text);
// "<h>:<id>" with a positive decimal id; false when malformed.
bool parseStreamRef(const std::string& word, std::string& user, int& id);
