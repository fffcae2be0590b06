// How received files take their place: staged beside the target, committed under its lock and a
// journal, and what a later reception does with what a dead one left.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <tuple>

#include "base/system.h"
#include "posix/incoming_file.h"
#include "support/fakes.h"

namespace telvaro3::posix {
namespace {

namespace fs = std::filesystem;
using test::Slurp;
constexpr auto& ErrorOf = test::RunTimeErrorOf;

// A receive directory.
struct Spool : test::TempDir {
  std::unique_ptr<IncomingFile> Open(Placement placement, const std::string& text = "",
                                     const std::string& name = "ORDERS.BHT") const {
    auto f = IncomingFile::Open(Path(name), placement);
    f->Write(text.data(), text.size());
    return f;
  }
  // Every entry as "name=content;" in name order; hidden work as its kind alone.
  std::string Listing() const {
    std::string all;
    for (const auto& n : test::NamesIn(path)) {
      if (n.find(".part-") != std::string::npos)
        all += "part;";
      else if (fs::is_symlink(Path(n)))
        all += n + "->;";
      else
        all += n + "=" + Slurp(Path(n)) + ";";
    }
    return all;
  }
  // A journal as a commit that died would have left it.
  void Journal(const std::string& lines) const { Write(".telvaro3.commit", lines); }
  std::string Identity(const std::string& name) const {
    struct stat st {};
    ::stat(Path(name).c_str(), &st);
    return std::to_string(st.st_dev) + "/" + std::to_string(st.st_ino);
  }
};

// Runs action in a child process whose files may not grow past `limit` bytes (no limit when
// negative), as on a nearly full disk; the exit status it gives.
int InChildWithFileLimit(long limit, const std::function<int()>& action) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit tight = {static_cast<rlim_t>(limit), RLIM_INFINITY};
    if (limit >= 0) ::setrlimit(RLIMIT_FSIZE, &tight);
    ::_exit(action());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WEXITSTATUS(status);
}

TEST(Spool, CommitsAbandonsAndWhatADeadReceptionLeaves) {
  // What is done in a spool that holds ORDERS.BHT, and what the spool holds then.
  using Case = std::tuple<std::string, std::function<void(Spool&)>, std::string>;
  const Case cases[] = {
      {"append", [](Spool& s) { CommitTogether({s.Open(Placement::Append, "A\r\n").get()}); },
       "ORDERS.BHT=OLD\r\nA\r\n;"},
      {"a pair, together",
       [](Spool& s) {
         auto data = s.Open(Placement::Append, "A\r\n");
         auto fields = s.Open(Placement::Replace, "fields 1\r\n", "ORDERS.FLD");
         CommitTogether({data.get(), fields.get()});
       },
       "ORDERS.BHT=OLD\r\nA\r\n;ORDERS.FLD=fields 1\r\n;"},
      {"appending to no file makes one",
       [](Spool& s) {
         fs::remove(s.Path("ORDERS.BHT"));
         CommitTogether({s.Open(Placement::Append, "A\r\n").get()});
       },
       "ORDERS.BHT=A\r\n;"},
      // Another reception's file is left alone while it runs, and removed once it has died.
      {"hidden files of the dead go, of the living stay",
       [](Spool& s) {
         s.Write(".ORDERS.BHT.part-dead01", "half an upload");
         s.Write(".LIST.BHT.telvaro3-dead02", "half a file");
         auto living = s.Open(Placement::Append, "B\r\n", "LIST.BHT");
         EXPECT_EQ(s.Listing(), "part;ORDERS.BHT=OLD\r\n;");
         s.Open(Placement::Replace, "C\r\n", "TAKE.BHT");
         EXPECT_EQ(s.Listing(), "part;ORDERS.BHT=OLD\r\n;");
       },
       "ORDERS.BHT=OLD\r\n;"},
      // A commit that died in the middle of its records is carried out again from the start.
      {"dead append, half done",
       [](Spool& s) {
         s.Write(".ORDERS.BHT.part-abc123", "A\r\nB\r\n");
         s.Journal("A/.ORDERS.BHT.part-abc123/ORDERS.BHT/" + s.Identity("ORDERS.BHT") + "/5\n");
         s.Write("ORDERS.BHT", "OLD\r\nA\r");
         TidyDirectory(s.path.string());
       },
       "ORDERS.BHT=OLD\r\nA\r\nB\r\n;"},
      {"dead append, the file taken away since",
       [](Spool& s) {
         s.Write(".ORDERS.BHT.part-abc123", "A\r\n");
         s.Journal("A/.ORDERS.BHT.part-abc123/ORDERS.BHT/" + s.Identity("ORDERS.BHT") + "/5\n");
         fs::rename(s.Path("ORDERS.BHT"), s.Path("TAKEN"));
         TidyDirectory(s.path.string());
       },
       "ORDERS.BHT=A\r\n;TAKEN=OLD\r\n;"},
      {"dead pair, one renamed",
       [](Spool& s) {
         s.Write(".ORDERS.BHT.part-abc123", "NEW\r\n");
         s.Write("ORDERS.FLD", "new fields");
         s.Journal("R/.ORDERS.FLD.part-abc124/ORDERS.FLD\nR/.ORDERS.BHT.part-abc123/ORDERS.BHT\n");
         TidyDirectory(s.path.string());
       },
       "ORDERS.BHT=NEW\r\n;ORDERS.FLD=new fields;"},
      // Someone moved the file away without the lock between the opening and the commit: the
      // records go to the name, not after what was moved.
      {"moved away unlocked",
       [](Spool& s) {
         auto f = s.Open(Placement::Append, "A\r\n");
         fs::rename(s.Path("ORDERS.BHT"), s.Path("TAKEN"));
         CommitTogether({f.get()});
       },
       "ORDERS.BHT=A\r\n;TAKEN=OLD\r\n;"},
      // No space for the records at the commit: the file is cut back to what it held.
      {"full disk at the commit",
       [](Spool& s) {
         auto f = s.Open(Placement::Append, std::string(100, 'x'));
         EXPECT_EQ(
             InChildWithFileLimit(40, [&] { return ErrorOf([&] { CommitTogether({f.get()}); }); }),
             61);
       },
       "ORDERS.BHT=OLD\r\n;"},
  };
  for (const auto& [what, run, listing] : cases) {
    SCOPED_TRACE(what);
    Spool s;
    s.Write("ORDERS.BHT", "OLD\r\n");
    run(s);
    EXPECT_EQ(s.Listing(), listing);
  }
}

// What a reception refuses to write, in both modes and whoever runs it; and a file that another
// reception or an importer holds.
TEST(Spool, RefusedTargets) {
  // The target as made beside a file elsewhere, the error of the opening, what the spool holds.
  using Case = std::tuple<std::string, std::function<void(Spool&)>, int16_t, std::string>;
  const Case cases[] = {
      {"a link", [](Spool& s) { fs::create_symlink(s.Path("elsewhere"), s.Path("ORDERS.BHT")); },
       75, "ORDERS.BHT->;elsewhere=OLD\r\n;"},
      {"a dangling link",
       [](Spool& s) {
         fs::remove(s.Path("elsewhere"));
         fs::create_symlink(s.Path("elsewhere"), s.Path("ORDERS.BHT"));
       },
       75, "ORDERS.BHT->;"},
      {"read-only",
       [](Spool& s) {
         s.Write("ORDERS.BHT", "MINE\r\n");
         fs::permissions(s.Path("ORDERS.BHT"), fs::perms::owner_read | fs::perms::group_read);
       },
       70, "ORDERS.BHT=MINE\r\n;elsewhere=OLD\r\n;"},
      {"a directory", [](Spool& s) { fs::create_directory(s.Path("ORDERS.BHT")); }, 75,
       "ORDERS.BHT=;elsewhere=OLD\r\n;"},
  };
  for (const auto& [what, prepare, error, listing] : cases) {
    for (Placement placement : {Placement::Replace, Placement::Append}) {
      SCOPED_TRACE(what + (placement == Placement::Append ? ", appending" : ", replacing"));
      Spool s;
      s.Write("elsewhere", "OLD\r\n");
      prepare(s);
      EXPECT_EQ(ErrorOf([&] { s.Open(placement, "A\r\n"); }), error);
      EXPECT_EQ(s.Listing(), listing);
    }
  }
}

TEST(Spool, OneReceptionOfAFileAtATime) {
  Spool s;
  s.Write("ORDERS.BHT", "OLD\r\n");
  auto first = s.Open(Placement::Append, "A\r\n");
  EXPECT_EQ(ErrorOf([&] { s.Open(Placement::Append, "B\r\n"); }), 55);
  EXPECT_EQ(ErrorOf([&] { s.Open(Placement::Replace, "B\r\n"); }), 55);
  // An importer that takes the same lock waits for the whole upload.
  const int importer = ::open(s.Path("ORDERS.BHT").c_str(), O_RDONLY);
  EXPECT_NE(::flock(importer, LOCK_EX | LOCK_NB), 0);
  CommitTogether({first.get()});
  first.reset();
  EXPECT_EQ(::flock(importer, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(Slurp(s.Path("ORDERS.BHT")), "OLD\r\nA\r\n");
  // While the importer holds it, no reception starts.
  EXPECT_EQ(ErrorOf([&] { s.Open(Placement::Append, "B\r\n"); }), 55);
  ::close(importer);
  EXPECT_EQ(ErrorOf([&] { s.Open(Placement::Append, "B\r\n"); }), 0);
}

// Records are held back only within space reserved in the file: the record that meets the limit
// (here the process's file size limit, as on a full disk) fails by itself, every record before it
// is kept, and the commit gives back what was reserved beyond the records.
TEST(Spool, ARecordThatDoesNotFitFailsByItself) {
  const std::string record(100, 'x');
  // The file size limit (none when negative), the records written as far as they go, and those
  // that must fit: below the first reservation; past it (the first 64 KB held, then writes
  // decide); none.
  const std::tuple<long, int, int> cases[] = {{1000, 20, 10}, {70000, 800, 700}, {-1, 10, 10}};
  for (const auto& [limit, records, fitting] : cases) {
    for (Placement placement : {Placement::Replace, Placement::Append}) {
      SCOPED_TRACE(std::to_string(limit) + (placement == Placement::Append ? " appending" : ""));
      Spool s;
      const auto storeAndCommit = [&] {
        auto f = IncomingFile::Open(s.Path("ORDERS.BHT"), placement);
        int stored = 0;
        while (stored < records && ErrorOf([&] { f->Write(record.data(), record.size()); }) == 0)
          ++stored;
        if (stored != fitting) return 1;
        return ErrorOf([&] { CommitTogether({f.get()}); }) == 0 ? 0 : 2;
      };
      EXPECT_EQ(InChildWithFileLimit(limit, storeAndCommit), 0);
      struct stat st {};
      ASSERT_EQ(::stat(s.Path("ORDERS.BHT").c_str(), &st), 0);
      EXPECT_EQ(st.st_size, 100 * fitting);
      EXPECT_LT(st.st_blocks * 512, 100 * fitting + 8192);
    }
  }
}

}  // namespace
}  // namespace telvaro3::posix
