#include "tests/support/xmpp_tamper_proxy.h"

#include <sodium.h>

XmppTamperProxy::XmppTamperProxy(int targetPort)
    : relay("127.0.0.1", 0, "127.0.0.1", targetPort, std::chrono::milliseconds(0))
{
    relay.recordBytes();
}

bool XmppTamperProxy::start() { return sodium_init() >= 0 && relay.start(); }

std::vector<std::string> XmppTamperProxy::ibbBlocks(const std::string& xml, int& undecodable)
{
    const std::string ns = "http://jabber.org/protocol/ibb";
    std::vector<std::string> blocks;
    undecodable = 0;
    for (size_t at = xml.find("<data"); at != std::string::npos; at = xml.find("<data", at + 1)) {
        const size_t gt = xml.find('>', at);
        if (gt == std::string::npos)
            break;
        const std::string tag = xml.substr(at, gt + 1 - at);
        if (std::string(" \t\r\n/>").find(tag[5]) == std::string::npos
            || (tag.find("xmlns='" + ns + "'") == std::string::npos
                && tag.find("xmlns=\"" + ns + "\"") == std::string::npos))
            continue;
        const size_t end = tag[tag.size() - 2] == '/' ? gt + 1 : xml.find("</data>", gt);
        if (end == std::string::npos)
            break;
        const std::string text = xml.substr(gt + 1, end - gt - 1);
        std::string bytes(text.size() * 3 / 4 + 3, '\0');
        size_t len = 0;
        if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(), text.size(),
                              " \t\r\n", &len, nullptr, sodium_base64_VARIANT_ORIGINAL)
            == 0) {
            bytes.resize(len);
            blocks.push_back(bytes);
        } else {
            ++undecodable;
        }
    }
    return blocks;
}
