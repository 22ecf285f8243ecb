// Script lines of the service simulator.
#include <gtest/gtest.h>

#include <unistd.h>

#include "svcsim.h"

TEST(SvcSimScript, ParsesStepsAndRejectsBadLines)
{
    struct Case {
        const char* line;
        int result;
        SvcSimStep::Trigger trigger;
        int delayMs;
        int onMsgId;
        int msgId;
    };
    const Case cases[] = {
        {"at 1500 BROADCAST availCallCount1st=2", 1, SvcSimStep::AtMs, 1500, -1, CAPX_BROADCAST},
        {"  on ASSIGN_REQ ASSIGN_COMPLETE callIdx=3", 1, SvcSimStep::OnMessage, 0, CAPX_ASSIGN_REQ, CAPX_ASSIGN_COMPLETE},
        {"on VOIP_SETUP_COMPLETE +250 CONTROL control=1", 1, SvcSimStep::OnMessage, 250, CAPX_VOIP_SETUP_COMPLETE, CAPX_CONTROL},
        {"on RELEASE_COMPLETE LOGOUT_ACK result=0\r", 1, SvcSimStep::OnMessage, 0, CAPX_RELEASE_COMPLETE, CAPX_LOGOUT_ACK},
        {"# a comment", 0, SvcSimStep::AtMs, 0, -1, 0},
        {"", 0, SvcSimStep::AtMs, 0, -1, 0},
        {"at soon BROADCAST", -1, SvcSimStep::AtMs, 0, -1, 0},
        {"at -5 BROADCAST", -1, SvcSimStep::AtMs, 0, -1, 0},
        {"on NOT_A_MESSAGE CONTROL control=1", -1, SvcSimStep::AtMs, 0, -1, 0},
        {"on DATA +x CONTROL", -1, SvcSimStep::AtMs, 0, -1, 0},
        {"at 10 NOT_A_MESSAGE", -1, SvcSimStep::AtMs, 0, -1, 0},
        {"later 10 CONTROL", -1, SvcSimStep::AtMs, 0, -1, 0},
    };
    for (const Case& c : cases) {
        SvcSimStep st;
        std::string err;
        const int r = svcSimParseStep(c.line, &st, &err);
        EXPECT_EQ(r, c.result) << c.line;
        if (r < 0) {
            EXPECT_FALSE(err.empty()) << c.line;
        }
        if (r != 1) continue;
        EXPECT_EQ(st.trigger, c.trigger) << c.line;
        EXPECT_EQ(st.delayMs, c.delayMs) << c.line;
        EXPECT_EQ(st.onMsgId, c.onMsgId) << c.line;
        EXPECT_EQ(st.msg.msgId, c.msgId) << c.line;
    }
}

TEST(SvcSimScript, LoadReportsFileAndLine)
{
    std::vector<SvcSimStep> steps;
    std::string err;
    EXPECT_EQ(svcSimLoadScript("/nonexistent/script", &steps, &err), -1);
    EXPECT_NE(err.find("/nonexistent/script"), std::string::npos);
    char path[] = "/tmp/svcsimscriptXXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const char text[] = "at 10 BROADCAST\n# ok\nbogus line\n";
    ASSERT_EQ(write(fd, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
    close(fd);
    EXPECT_EQ(svcSimLoadScript(path, &steps, &err), -1);
    EXPECT_NE(err.find(":3:"), std::string::npos) << err;
    unlink(path);
}
