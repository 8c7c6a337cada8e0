// The fleet backups against a real restic and a repository in a temporary folder: sets stored per
// node and night, listed, picked and restored; the retention; a repository that cannot be reached.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "kestrel/fleet/fleet.h"
#include "testsupport/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using namespace kestrel::fleet;

std::string file_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_text(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// Everything a stream written to by the code under test holds.
struct Capture {
  char* data = nullptr;
  size_t size = 0;
  std::FILE* file = open_memstream(&data, &size);
  std::string text() {
    std::fflush(file);
    return std::string(data, size);
  }
  ~Capture() {
    std::fclose(file);
    std::free(data);
  }
};

class ResticTime : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};

// A repository of the test's own: restic finds it, its password and its cache through the
// environment, as it does under the systemd unit.
class Fleet : public ResticTime {
 protected:
  moxel::test::TempFolder tmp{"kestrel-fleet-test"};
  FleetConfig config;
  // What the fake backup writes for each node: the node's "SRAM" as one part file.
  std::map<int, std::string> sram;

  void SetUp() override {
    ResticTime::SetUp();
    ASSERT_FALSE(tmp.path.empty());
    setenv("RESTIC_REPOSITORY", (tmp.path / "repo").c_str(), 1);
    setenv("RESTIC_PASSWORD", "shop secret", 1);
    setenv("RESTIC_CACHE_DIR", (tmp.path / "cache").c_str(), 1);
    ResticResult init = ResticRunner().run({"init"});
    ASSERT_TRUE(init.ok()) << init.failure_text();
    config.host = "pc1";
    config.staging = tmp.path / "staging";
    config.timeout = std::chrono::seconds(240);
  }
  void TearDown() override {
    for (const char* name : {"RESTIC_REPOSITORY", "RESTIC_PASSWORD", "RESTIC_CACHE_DIR"}) unsetenv(name);
  }

  NodeBackup fake_backup() {
    return [this](const NodeInfo& node, const fs::path& folder) {
      write_text(folder / "SRAM1_0A.xyz", sram.at(node.node));
      return true;
    };
  }
  static std::vector<NodeInfo> two_nodes() { return {{0, "Mill, left", "MAIN", 0x100000}, {1, "Lathe", "SUB", 0x40000}}; }
};

TEST_F(Fleet, TwoNightsOfTwoNodesAreListedAndTheFirstNightRestores) {
  const ResticRepo repo(config);
  Capture log;
  sram = {{0, "night 1 node 0"}, {1, "night 1 node 1"}};
  ASSERT_EQ(BackupNodes(repo, two_nodes(), fake_backup(), log.file, "2026-11-09 02:00:00"), 0) << log.text();
  sram = {{0, "night 2 node 0"}, {1, "night 2 node 1"}};
  ASSERT_EQ(BackupNodes(repo, two_nodes(), fake_backup(), log.file, "2026-11-10 02:00:00"), 0) << log.text();

  std::string error;
  auto all = repo.Snapshots(-1, "pc1", &error);
  ASSERT_TRUE(all) << error;
  ASSERT_EQ(all->size(), 4u);
  auto node0 = repo.Snapshots(0, "pc1", &error);
  ASSERT_TRUE(node0) << error;
  ASSERT_EQ(node0->size(), 2u);
  const Snapshot& first = node0->front();
  EXPECT_EQ(first.host, "pc1");
  EXPECT_EQ(first.node.node, 0);
  EXPECT_EQ(first.node.name, "Mill_ left");  // the comma would split the tag
  EXPECT_EQ(first.node.board, "MAIN");
  EXPECT_EQ(first.node.sram_size, 0x100000u);
  EXPECT_EQ(first.size, std::string("night 1 node 0").size());
  EXPECT_EQ(local_time_text(first.time), "2026-11-09 02:00");

  Capture history;
  PrintHistory(*all, history.file);
  const std::string table = history.text();
  for (const Snapshot& s : *all) EXPECT_NE(table.find(s.short_id), std::string::npos) << table;
  EXPECT_NE(table.find("2026-11-09 02:00  pc1"), std::string::npos) << table;
  EXPECT_NE(table.find("Lathe"), std::string::npos) << table;

  struct Case {
    std::string from;
    moxel::Answer answer;
    int status;
    std::string restored;  // empty: the restore function must not run
  };
  const Case cases[] = {
      {"2026-11-09", moxel::Answer::yes, 0, "night 1 node 0"},
      {"latest", moxel::Answer::yes, 0, "night 2 node 0"},
      {first.short_id, moxel::Answer::yes, 0, "night 1 node 0"},
      {"2026-11-09", moxel::Answer::no, 1, ""},
      {"2026-11-08", moxel::Answer::yes, 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.from);
    moxel::ScriptedPrompter prompter;
    prompter.push_answer(c.answer);
    std::string restored;
    fs::path seen_folder;
    Capture out;
    const int status = RestoreNode(repo, 0, "pc1", c.from, prompter,
                                   [&](const Snapshot& s, const fs::path& folder) {
                                     EXPECT_EQ(s.node.node, 0);
                                     seen_folder = folder;
                                     restored = file_text(folder / "SRAM1_0A.xyz");
                                     return true;
                                   },
                                   out.file);
    EXPECT_EQ(status, c.status) << out.text();
    EXPECT_EQ(restored, c.restored);
    if (!c.restored.empty()) {
      ASSERT_EQ(prompter.shown().size(), 1u);
      EXPECT_NE(out.text().find("Node 0 (Mill_ left) will be overwritten"), std::string::npos) << out.text();
      EXPECT_NE(out.text().find("board MAIN, SRAM 1.0 MB"), std::string::npos) << out.text();
      EXPECT_FALSE(fs::exists(seen_folder)) << "the temporary folder is removed afterwards";
    }
  }
  // The staging folder keeps the last set as the local copy.
  EXPECT_EQ(file_text(staging_folder(config, 1) / "SRAM1_0A.xyz"), "night 2 node 1");

  // A snapshot whose recorded folder climbs out of where it was restored is refused.
  Snapshot forged = first;
  forged.path = "/../../../etc";
  moxel::test::TempFolder target{"kestrel-fleet-target"};
  EXPECT_FALSE(repo.Restore(forged, target.path, &error));
  EXPECT_NE(error.find("outside"), std::string::npos) << error;
}

TEST_F(Fleet, RetentionKeepsWhatThePolicySaysOfThisHostOnly) {
  // Eleven nights of node 0 on this PC (Mon 2 to Wed 11 November and Sun 1) and one of another PC,
  // stored without retention; then the policy of 3 daily and 2 weekly.
  config.keep_daily = config.keep_weekly = config.keep_monthly = 0;
  Capture log;
  sram = {{0, "set"}};
  for (int day = 1; day <= 11; ++day) {
    char time[32];
    std::snprintf(time, sizeof time, "2026-11-%02d 12:00:00", day);
    sram[0] = std::string("set of day ") + std::to_string(day);
    ASSERT_EQ(BackupNodes(ResticRepo(config), {{0, "Mill", "MAIN", 0}}, fake_backup(), log.file, time), 0) << log.text();
  }
  FleetConfig other = config;
  other.host = "pc2";
  other.staging = tmp.path / "staging2";
  ASSERT_EQ(BackupNodes(ResticRepo(other), {{0, "Mill", "MAIN", 0}}, fake_backup(), log.file, "2026-11-01 12:00:00"), 0);

  config.keep_daily = 3;
  config.keep_weekly = 2;
  std::string error;
  ASSERT_TRUE(ResticRepo(config).Forget(&error)) << error;

  auto left = ResticRepo(config).Snapshots(0, "", &error);
  ASSERT_TRUE(left) << error;
  std::vector<std::string> kept;
  for (const Snapshot& s : *left) kept.push_back(s.host + " " + local_time_text(s.time).substr(0, 10));
  // Daily: the 11th, 10th and 9th; weekly: the newest of the week of the 9th (the 11th) and of the
  // week before (Sunday the 8th). The other PC's snapshot is not this PC's to forget.
  const std::vector<std::string> expected = {"pc2 2026-11-01", "pc1 2026-11-08", "pc1 2026-11-09", "pc1 2026-11-10",
                                             "pc1 2026-11-11"};
  EXPECT_EQ(kept, expected);
}

TEST_F(Fleet, AnUnreachableRepositoryFailsClearlyAndKeepsTheLocalBackup) {
  setenv("RESTIC_REPOSITORY", (tmp.path / "no-such-repo").c_str(), 1);
  const ResticRepo repo(config);
  Capture log;
  sram = {{0, "tonight"}, {1, "tonight too"}};
  EXPECT_EQ(BackupNodes(repo, two_nodes(), fake_backup(), log.file), 1);
  const std::string text = log.text();
  EXPECT_NE(text.find("node 0: restic backup failed: restic ended with status 1: Fatal:"), std::string::npos) << text;
  EXPECT_NE(text.find("node 1: the local backup stays in"), std::string::npos) << text;
  EXPECT_NE(text.find("retention: restic forget failed"), std::string::npos) << text;
  EXPECT_EQ(file_text(staging_folder(config, 0) / "SRAM1_0A.xyz"), "tonight");
  EXPECT_EQ(file_text(staging_folder(config, 1) / "SRAM1_0A.xyz"), "tonight too");

  std::string error;
  EXPECT_FALSE(repo.Snapshots(0, "pc1", &error));
  EXPECT_NE(error.find("Fatal:"), std::string::npos) << error;
}

TEST_F(Fleet, AFailedNodeBackupStoresNothingAndTheOthersGoOn) {
  const ResticRepo repo(config);
  Capture log;
  sram = {{1, "node 1 only"}};
  auto backup = [this](const NodeInfo& node, const fs::path& folder) {
    if (node.node == 0) return false;
    return fake_backup()(node, folder);
  };
  EXPECT_EQ(BackupNodes(repo, two_nodes(), backup, log.file), 1);
  EXPECT_NE(log.text().find("node 0: the backup failed; nothing stored"), std::string::npos) << log.text();
  std::string error;
  auto list = repo.Snapshots(-1, "pc1", &error);
  ASSERT_TRUE(list) << error;
  ASSERT_EQ(list->size(), 1u);
  EXPECT_EQ(list->front().node.node, 1);
}

TEST(ResticRunner, RunsWithoutAShellCollectsOutputAndBoundsTheWait) {
  struct Case {
    std::vector<std::string> args;
    int seconds;
    bool started, timed_out;
    int status;
    std::string out, failure;  // failure: part of failure_text()
  };
  const Case cases[] = {
      {{"-c", "echo out; echo err >&2"}, 60, true, false, 0, "out\n", ""},
      {{"-c", "echo noise >&2; echo 'Fatal: unable to open repo' >&2; echo more >&2; exit 3"}, 60, true, false, 3, "",
       "restic ended with status 3: Fatal: unable to open repo\nmore"},
      {{"-c", "echo only this >&2; exit 1"}, 60, true, false, 1, "", "status 1: only this"},
      // A word with shell characters reaches the program as it is.
      {{"-c", "printf '%s' \"$0\"", "a b;$(x)"}, 60, true, false, 0, "a b;$(x)", ""},
      {{"-c", "trap '' TERM; exec sleep 30"}, 1, true, true, 137, "", "did not finish within 1 s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    ResticResult r = ResticRunner("/bin/sh", std::chrono::seconds(c.seconds)).run(c.args);
    EXPECT_EQ(r.started, c.started);
    EXPECT_EQ(r.timed_out, c.timed_out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.ok(), c.failure.empty());
    if (!c.failure.empty()) {
      EXPECT_NE(r.failure_text().find(c.failure), std::string::npos) << r.failure_text();
    }
  }
  ResticResult missing = ResticRunner("/nonexistent/restic").run({"version"});
  EXPECT_FALSE(missing.started);
  EXPECT_NE(missing.failure_text().find("cannot run /nonexistent/restic"), std::string::npos) << missing.failure_text();
}

TEST_F(ResticTime, SnapshotListsAreReadAndPicked) {
  const std::string json = R"([
    {"time":"2026-11-10T01:30:00+01:00","paths":["/s/node2"],"hostname":"pc1","tags":["host=pc1","node=2","board=MAIN","size=2048"],"id":"aaaa1111","short_id":"aaaa1111"},
    {"time":"2026-11-09T23:30:00.123456789Z","paths":["/s/node2"],"hostname":"pc1","tags":["host=pc1","node=2","nodename=Mill","sram=1048576"],"id":"aaaa2222","short_id":"aaaa2222"},
    {"time":"2026-11-10T22:00:00Z","paths":["/s/node2"],"hostname":"pc1","tags":["node=2"],"id":"bbbb3333","short_id":"bbbb3333"},
    {"time":"2026-11-11T22:00:00Z","paths":["/home"],"hostname":"pc1","tags":["daily"],"id":"cccc4444","short_id":"cccc4444"},
    {"time":"not a time","paths":["/s/node2"],"hostname":"pc1","tags":["node=2"],"id":"dddd5555","short_id":"dddd5555"}
  ])";
  std::string error;
  auto list = parse_snapshots(json, &error);
  ASSERT_TRUE(list) << error;
  // Oldest first; only node sets with a readable time.
  ASSERT_EQ(list->size(), 3u);
  EXPECT_EQ((*list)[0].id, "aaaa2222");
  EXPECT_EQ((*list)[0].node.name, "Mill");
  EXPECT_EQ((*list)[0].node.sram_size, 1048576u);
  EXPECT_EQ((*list)[1].id, "aaaa1111");  // 00:30 UTC on the 10th
  EXPECT_EQ((*list)[1].size, 2048u);
  EXPECT_EQ(local_time_text((*list)[1].time), "2026-11-10 00:30");

  struct Case {
    std::string from, id, error;
  };
  const Case cases[] = {
      {"latest", "bbbb3333", ""},
      {"2026-11-10", "bbbb3333", ""},
      {"2026-11-09", "aaaa2222", ""},
      {"aaaa1", "aaaa1111", ""},
      {"bbbb3333", "bbbb3333", ""},
      {"aaaa", "", "more than one snapshot starts with aaaa"},
      {"cccc", "", "no snapshot cccc"},
      {"2026-11-12", "", "no snapshot was taken on 2026-11-12"},
      {"yesterday", "", "neither latest"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.from);
    error.clear();
    const Snapshot* s = select_snapshot(*list, c.from, &error);
    EXPECT_EQ(s ? s->id : "", c.id);
    if (!c.error.empty()) {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
  EXPECT_FALSE(select_snapshot({}, "latest", &error));
  EXPECT_FALSE(parse_snapshots("Fatal: no repo", &error));
  EXPECT_FALSE(parse_restic_time("2026-11-10T01:30:00+0100"));
}

}  // namespace
