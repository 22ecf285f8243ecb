// The garbage generator of the service simulator: each kind is the frame it
// claims to be, ids that would end the login or start a call never carry
// contents, and a seed repeats its frames.
#include <gtest/gtest.h>

#include "capxmsgcoder.h"
#include "svcgarbage.h"

namespace {

size_t lengthOf(const GarbageFrame& g) { return (static_cast<size_t>(g.bytes[0]) << 8) | g.bytes[1]; }

TEST(Garbage, EachKindHasItsLengthAndTheFrameIsWhole)
{
    GarbageGen gen(3);
    for (int round = 0; round < 200; ++round) {
        for (int k = 0; k < static_cast<int>(GarbageKind::Count); ++k) {
            const GarbageFrame g = gen.make(static_cast<GarbageKind>(k), 7);
            ASSERT_GE(g.bytes.size(), 2u);
            const size_t L = lengthOf(g);
            EXPECT_EQ(g.bytes.size(), L + 2) << garbageKindName(g.kind);
            EXPECT_EQ(g.closesLink, g.kind == GarbageKind::EmptyLength);
            switch (g.kind) {
            case GarbageKind::EmptyLength: EXPECT_EQ(L, 0u); break;
            case GarbageKind::BelowHeader: EXPECT_TRUE(L == 1 || L == 2); break;
            case GarbageKind::MaxLength: EXPECT_EQ(L, size_t(CAPX_MAX_BODY_LEN)); break;
            case GarbageKind::OverMax: EXPECT_GT(L, size_t(CAPX_MAX_BODY_LEN)); break;
            case GarbageKind::UnknownId: EXPECT_FALSE(capxMsgHasLayout(g.bytes[2])); break;
            default: EXPECT_GE(L, 1u); break;
            }
        }
    }
}

TEST(Garbage, MessagesThatEndTheLoginOrStartACallNeverCarryContents)
{
    for (int id : {CAPX_BROADCAST, CAPX_ASSIGN_COMPLETE, CAPX_RELEASE, CAPX_LOGIN_ACK, CAPX_LOGOUT_ACK,
                   CAPX_VOIP_SETUP, CAPX_CHANGE_PASSWD_ACK, CAPX_CA_SVC_STATE_ACK})
        EXPECT_FALSE(garbageContentId(id)) << id;
    GarbageGen gen(11);
    for (int i = 0; i < 5000; ++i) {
        const GarbageFrame g = gen.next(0);
        if (g.kind == GarbageKind::EmptyLength || g.kind == GarbageKind::OverMax || g.kind == GarbageKind::UnknownId)
            continue;
        if (g.kind == GarbageKind::MaxLength && !capxMsgHasLayout(g.bytes[2])) continue;
        EXPECT_TRUE(garbageContentId(g.bytes[2])) << garbageKindName(g.kind) << " id " << int(g.bytes[2]);
    }
}

TEST(Garbage, RandomFieldsDecodeAsTheirMessageAndTruncatedOnesAreShorter)
{
    GarbageGen a(5), b(5);
    for (int i = 0; i < 300; ++i) {
        GarbageFrame whole = a.make(GarbageKind::RandomFields, 0);
        CapxMsg m{};
        int L = 0;
        EXPECT_EQ(capxDecodeMsgEx(&m, whole.bytes.data(), int(whole.bytes.size()), &L, 0, 0, nullptr), whole.id);
        EXPECT_EQ(size_t(L) + 2, whole.bytes.size());
        // The same seed gives the same frames.
        EXPECT_EQ(b.make(GarbageKind::RandomFields, 0).bytes, whole.bytes);
    }
}

}  // namespace
