// Article numbers of the news door: stored numbers plus an offset that a renumbering by
// another program moves past everything given out, so that a number never names two
// messages; and the watermark kept in the state folder across runs.
#include <gtest/gtest.h>

#include <cstdio>

#include <string>
#include <vector>

#include "common/msg_fixture.h"
#include "common/temp_dir.h"
#include "core/services.h"
#include "nntp/news_store.h"
#include "support/le.h"

namespace {

using msgfixture::MsgFile;

class NewsNumbers : public ::testing::Test {
protected:
    TempDir dir;
    std::vector<mArea> areaList;
    MCArray<rClientInfo> userList;
    RightsPolicy rights;
    LoginThrottle logins;
    MsgIdSerials serials;
    ServerSettings settings;
    RequestBudget requests;
    rClientInfo reader;

    void SetUp() override {
        areaList = {makeArea(AreaFormat::Msg, AreaType::Echomail, "LOCAL.TALK", dir.subdir("talk"))};
        settings.news.stateDir = dir.file("state");
        copyField(reader.name, "Ann", sizeof reader.name);
        reader.address = FidoAddr{2, 5020, 1, 0};
    }

    void writeMessages(const std::vector<std::string>& subjects, uint32_t firstNumber = 1) {
        for (size_t i = 0; i < subjects.size(); ++i) {
            MsgFile m;
            m.subject = subjects[i];
            ASSERT_TRUE(msgfixture::writeMsgFile(dir.file("talk"), firstNumber + uint32_t(i), m));
        }
    }
    void removeMessages(uint32_t from, uint32_t to) {
        for (uint32_t n = from; n <= to; ++n) std::remove(dir.file("talk/" + std::to_string(n) + ".msg").c_str());
    }

    // One run of the door: its store over the areas, the summary of the one group.
    GroupSummary summaryOnce() {
        UserDirectory users{userList};
        AreaNumbers areaNumbers{areaList};
        Services services{areaList, users, rights, logins, serials, settings, requests, areaNumbers};
        NewsGroups groups;
        groups.build(areaList, "", [](const std::string&) {});
        NewsStore store(services, groups);
        store.load(1000);
        GroupSummary s;
        EXPECT_TRUE(store.summary(groups.all().at(0), reader, s).isOk());
        store.flush();
        return s;
    }
};

TEST_F(NewsNumbers, StoredNumbersUntilARenumberingThenAboveEverythingGivenOut) {
    writeMessages({"one", "two", "three", "four"});
    GroupSummary s = summaryOnce();
    EXPECT_EQ(s.count, 4u);
    EXPECT_EQ(s.low, 1u);
    EXPECT_EQ(s.high, 4u);

    // New messages and a removed one keep the numbers (the next run reads the state).
    writeMessages({"five"}, 5);
    removeMessages(1, 1);
    s = summaryOnce();
    EXPECT_EQ(s.count, 4u);
    EXPECT_EQ(s.low, 2u);
    EXPECT_EQ(s.high, 5u);

    // A packer renumbers the folder from 1: 1..4 now hold what 2..5 held.
    removeMessages(1, 5);
    writeMessages({"two", "three", "four", "five"});
    s = summaryOnce();
    EXPECT_EQ(s.count, 4u);
    EXPECT_EQ(s.low, 6u) << "numbers above the old high-water mark";
    EXPECT_EQ(s.high, 9u);

    // The last messages removed (the top goes down, what is left is as it was): no new
    // renumbering.
    removeMessages(4, 4);
    s = summaryOnce();
    EXPECT_EQ(s.low, 6u);
    EXPECT_EQ(s.high, 8u);
}

TEST_F(NewsNumbers, ANumberReusedForAnotherMessageIsARenumbering) {
    writeMessages({"one", "two", "three"});
    EXPECT_EQ(summaryOnce().high, 3u);
    // The top message deleted and a new one written under its number, as *.MSG editors do.
    removeMessages(3, 3);
    writeMessages({"another three"}, 3);
    GroupSummary s = summaryOnce();
    EXPECT_EQ(s.low, 4u);
    EXPECT_EQ(s.high, 6u);
}

TEST_F(NewsNumbers, ATopNumberTakenAgainAfterAWalkIsARenumbering) {
    writeMessages({"one", "two", "three"});
    EXPECT_EQ(summaryOnce().high, 3u);
    // The top message deleted (a cancelled netmail), and a walk that sees it gone.
    removeMessages(3, 3);
    GroupSummary s = summaryOnce();
    EXPECT_EQ(s.low, 1u);
    EXPECT_EQ(s.high, 2u);
    // The folder's next message takes the number given out before.
    writeMessages({"another three"}, 3);
    s = summaryOnce();
    EXPECT_EQ(s.low, 4u) << "numbers above the old high-water mark";
    EXPECT_EQ(s.high, 6u);
}

TEST_F(NewsNumbers, AnEmptyGroupKeepsItsHighWaterMark) {
    writeMessages({"one", "two"});
    EXPECT_EQ(summaryOnce().high, 2u);
    removeMessages(1, 2);
    GroupSummary s = summaryOnce();
    EXPECT_EQ(s.count, 0u);
    EXPECT_EQ(s.high, 2u);
    EXPECT_EQ(s.low, 3u);
}

}  // namespace
