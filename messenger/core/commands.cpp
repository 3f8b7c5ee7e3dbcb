#include "messenger/core/commands.h"

#include "messenger/core/command.h"

Commands::Commands(Programs& p, Streams& s, const Contacts& c, std::string ownJid, const bool& isOnline,
                   std::function<void()> changed)
    : programs(p), streams(s), contacts(c), own(std::move(ownJid)), online(isOnline), appsChanged(std::move(changed))
{
}

void Commands::answer(int client, const std::string& line)
{
    Command cmd = parseCommand(line);
    if (answerGeneral(client, cmd, line))
        return;

    // The rest names an application of this program.
    Programs::App* app = programs.app(client, cmd.app);
    if (!app) {
        programs.send(client, errorLine(kErrorUnknownApplication, "Unknown application " + cmd.app));
        return;
    }
    if (answerApplication(client, cmd, line))
        return;

    Stream* s = streams.find(client, cmd.app, cmd.user, cmd.id);
    if (!s) {
        programs.send(client,
                      errorLine(kErrorUnknownStream, "Unknown stream " + cmd.user + ":" + std::to_string(cmd.id)));
        return;
    }
    answerStream(client, *app, *s, cmd, line);
}

bool Commands::answerGeneral(int client, const Command& cmd, const std::string& line)
{
    switch (cmd.kind) {
        case CommandKind::Invalid:
            programs.send(client, errorLine(cmd.errorCode, cmd.errorText));
            return true;
        case CommandKind::Ping:
            programs.send(client, "PONG");
            return true;
        case CommandKind::SearchFriends: {
            std::string out = "USERS";
            std::vector<std::string> friends = contacts.mutual();
            for (size_t i = 0; i < friends.size(); ++i)
                out += (i == 0 ? " " : ", ") + friends[i];
            programs.send(client, out);
            return true;
        }
        case CommandKind::GetCurrentUserHandle:
            programs.send(client, "CURRENTUSERHANDLE " + own);
            return true;
        case CommandKind::GetUserStatus:
            programs.send(client, std::string("USERSTATUS ") + (online ? "ONLINE" : "OFFLINE"));
            return true;
        case CommandKind::GetOnlineStatus: {
            std::string status = cmd.user == own ? (online ? "ONLINE" : "OFFLINE") : contacts.onlineStatus(cmd.user);
            programs.send(client, "USER " + cmd.user + " ONLINESTATUS " + status);
            return true;
        }
        case CommandKind::CreateApplication: {
            bool added = programs.createApp(client, cmd.app);
            programs.send(client, line);
            if (added)
                appsChanged();
            return true;
        }
        default:
            return false;
    }
}

bool Commands::answerApplication(int client, const Command& cmd, const std::string& line)
{
    switch (cmd.kind) {
        case CommandKind::GetConnectable: {
            std::string out = "APPLICATION " + cmd.app + " CONNECTABLE";
            for (const std::string& h : contacts.connectable(cmd.app))
                out += " " + h;
            programs.send(client, out);
            return true;
        }
        case CommandKind::DeleteApplication:
            programs.send(client, line);
            streams.closeMatching([&](const Stream& s) { return s.client == client && s.app == cmd.app; }, true, false,
                                  "its application was deleted");
            programs.deleteApp(client, cmd.app);
            appsChanged();
            return true;
        case CommandKind::Connect:
            programs.send(client, line);
            streams.connect(client, cmd.app, cmd.user, online);
            return true;
        default:
            return false;
    }
}

void Commands::answerStream(int client, Programs::App& app, Stream& s, const Command& cmd, const std::string& line)
{
    switch (cmd.kind) {
        case CommandKind::Write:
            streams.write(client, cmd.app, s, cmd.text);
            return;
        case CommandKind::Read:
            streams.read(client, app, s);
            return;
        case CommandKind::Disconnect:
            programs.send(client, line);
            streams.disconnect(s);
            return;
        default:
            programs.send(client, errorLine(kErrorUnknownCommand, "Unknown command"));
            return;
    }
}
