#include "platform/sqlite.h"

#include <gtest/gtest.h>

#include "support/temp_home.h"

namespace lumidex::platform {
namespace {

TEST(SqliteDatabase, RoundTripsValuesAndReportsErrors) {
    testing::TempDir dir;
    std::string error;
    auto db = SqliteDatabase::open(dir / "a.sqlite", error);
    ASSERT_TRUE(db) << error;
    ASSERT_TRUE(db->exec("CREATE TABLE t (i INTEGER, d REAL, s TEXT)", error)) << error;

    auto insert = db->prepare("INSERT INTO t VALUES (?, ?, ?)", error);
    ASSERT_TRUE(insert);
    insert->bind(1, int64_t{4294967295});
    insert->bind(2, 1.5);
    insert->bind(3, std::string_view("Stra\xC3\x9F" "e"));
    EXPECT_TRUE(insert->run());
    insert->reset();
    insert->bind(1, int64_t{1});
    insert->bindNull(3);
    EXPECT_TRUE(insert->run());

    auto select = db->prepare("SELECT i, d, s FROM t ORDER BY i DESC", error);
    ASSERT_EQ(select->step(), SqliteStatement::Step::row);
    EXPECT_EQ(select->int64At(0), 4294967295);
    EXPECT_DOUBLE_EQ(select->doubleAt(1), 1.5);
    EXPECT_EQ(select->textAt(2), "Stra\xC3\x9F" "e");
    ASSERT_EQ(select->step(), SqliteStatement::Step::row);
    EXPECT_FALSE(select->optionalTextAt(2).has_value());
    EXPECT_EQ(select->step(), SqliteStatement::Step::done);

    EXPECT_FALSE(db->prepare("SELEC nonsense", error));
    EXPECT_NE(error.find("syntax"), std::string::npos);
}

TEST(SqliteDatabase, TransactionRollsBackUnlessCommitted) {
    testing::TempDir dir;
    std::string error;
    auto db = SqliteDatabase::open(dir / "t.sqlite", error);
    ASSERT_TRUE(db->exec("CREATE TABLE t (i INTEGER)", error));
    {
        SqliteTransaction tx(*db);
        ASSERT_TRUE(tx.began());
        db->exec("INSERT INTO t VALUES (1)", error);
    }
    {
        SqliteTransaction tx(*db);
        db->exec("INSERT INTO t VALUES (2)", error);
        EXPECT_TRUE(tx.commit());
    }
    auto count = db->prepare("SELECT group_concat(i) FROM t", error);
    ASSERT_EQ(count->step(), SqliteStatement::Step::row);
    EXPECT_EQ(count->textAt(0), "2");
}

TEST(SqliteDatabase, NotADatabaseFailsCleanly) {
    testing::TempDir dir;
    testing::writeFile(dir / "bad.sqlite", std::string(4096, 'x'));
    std::string error;
    auto db = SqliteDatabase::open(dir / "bad.sqlite", error);
    // SQLite opens lazily: the damage shows on the first statement, never as a crash.
    if (db) {
        EXPECT_FALSE(db->exec("PRAGMA journal_mode=WAL; CREATE TABLE IF NOT EXISTS t (i)", error));
    }
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(SqliteDatabase::open(dir / "missing-dir/x.sqlite", error));
}

}  // namespace
}  // namespace lumidex::platform
