// The rewriting of the tampering server that the sealed-stream tests rely
// on: only the chosen data block changes, every other byte passes as it
// was, wherever the reads cut the stream.
#include "tests/support/xmpp_tamper_proxy.h"

#include <gtest/gtest.h>

namespace {

std::string dataIq(const std::string& id, const std::string& sid, int seq, const std::string& base64)
{
    return "<iq type=\"set\" id=\"" + id + "\" to=\"bob@localhost/pc-bob\"><data xmlns=\"http://jabber.org/protocol/ibb\""
           " sid=\"" + sid + "\" seq=\"" + std::to_string(seq) + "\">" + base64 + "</data></iq>";
}

const std::string kHeader =
    "<?xml version=\"1.0\"?><stream:stream to=\"localhost\" xmlns=\"jabber:client\" "
    "xmlns:stream=\"http://etherx.jabber.org/streams\" version=\"1.0\">";
const std::string kOther =
    "<iq type='result' id='a1' to='bob@localhost/pc-bob'/><presence><show>away</show></presence>"
    "<iq type='get' id='p1'><ping xmlns='urn:xmpp:ping'/></iq>"
    "<iq type='set' id='c1'><data xmlns='urn:other'>QUJD</data></iq>";

// Blocks "AAAA", "BBBB", ... of sid s1 (seq 0 on) and one of s2 between.
std::string stream(const std::vector<std::string>& s1Blocks)
{
    std::string out = kHeader + kOther;
    for (size_t i = 0; i < s1Blocks.size(); ++i) {
        out += s1Blocks[i];
        if (i == 0)
            out += dataIq("x", "s2", 0, "WFhY");
    }
    return out + kOther + "</stream:stream>";
}

std::vector<std::string> blocks(int count)
{
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i)
        out.push_back(dataIq("d" + std::to_string(i), "s1", i, std::string(4, static_cast<char>('A' + i))));
    return out;
}

// The output for `input` fed in two reads cut at every offset: all the same.
std::string throughTamper(const std::string& input, IbbAction action, int block)
{
    std::string first;
    for (size_t cut = 0; cut <= input.size(); ++cut) {
        IbbTamper t;
        t.arm(action, block);
        std::string out = t.feed(input.substr(0, cut));
        out += t.feed(input.substr(cut));
        out += t.flush();
        EXPECT_EQ(t.acted(), action != IbbAction::None) << "cut at " << cut;
        if (cut == 0)
            first = out;
        else if (out != first) {
            ADD_FAILURE() << "cut at " << cut << " gives\n" << out << "\nnot\n" << first;
            break;
        }
    }
    return first;
}

}  // namespace

TEST(IbbTamper, PassesEverythingUnarmed)
{
    std::string in = stream(blocks(4));
    EXPECT_EQ(throughTamper(in, IbbAction::None, 0), in);
}

TEST(IbbTamper, FlipsOneBitOfTheChosenBlock)
{
    std::vector<std::string> b = blocks(4);
    std::string in = stream(b);
    // "CCCC" is 0x08 0x20 0x82; the middle byte 0x20 becomes 0x30: "CDCC".
    b[2] = dataIq("d2", "s1", 2, "CDCC");
    EXPECT_EQ(throughTamper(in, IbbAction::FlipBit, 3), stream(b));
}

TEST(IbbTamper, DropsTheChosenBlockAndClosesTheGapInSeq)
{
    std::vector<std::string> b = blocks(4);
    std::string in = stream(b);
    // Block 2 of s1, not the second block on the wire (which is s2's).
    std::vector<std::string> out = {b[0], dataIq("d2", "s1", 1, "CCCC"), dataIq("d3", "s1", 2, "DDDD")};
    EXPECT_EQ(throughTamper(in, IbbAction::Drop, 2), stream(out));
}

TEST(IbbTamper, ReplaysTheChosenBlockUnderTheNextSeq)
{
    std::vector<std::string> b = blocks(3);
    std::string in = stream(b);
    std::vector<std::string> out = {b[0], b[1], dataIq("d1-again", "s1", 2, "BBBB"), dataIq("d2", "s1", 3, "CCCC")};
    EXPECT_EQ(throughTamper(in, IbbAction::Replay, 2), stream(out));
}

TEST(IbbTamper, DecodesTheBlocksOfARecording)
{
    int undecodable = -1;
    std::vector<std::string> got =
        XmppTamperProxy::ibbBlocks(stream(blocks(2)) + dataIq("y", "s3", 0, "not base64!"), undecodable);
    // The data of urn:other is no IBB block.
    EXPECT_EQ(got, (std::vector<std::string>{std::string("\x00\x00\x00", 3), "XXX", "\x04\x10\x41"}));
    EXPECT_EQ(undecodable, 1);
}
