// The destination file, in a temporary folder.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>

#include "core/voxUpStream_console.h"
#include "io/voxFileStream_dest.h"

namespace kavrix {
namespace {

namespace fs = std::filesystem;

class DestFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kavrix-dest-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    SetConsoleSink([this](int, std::string_view bytes) { out_.append(bytes); }, false, false);
  }
  void TearDown() override {
    ResetConsoleForTests();
    fs::remove_all(dir_);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static bool Deliver(const UpStreamPtr& node, const std::string& bytes, bool header = false) {
    return node->ProcessData(0, header, reinterpret_cast<const uint8_t*>(bytes.data()),
                             bytes.size(), -1, false);
  }
  std::string dir_;
  std::string out_;
};

TEST(DestFileNames, DelayInsertAndStdout) {
  struct Case {
    const char* name;
    int64_t delay;
    const char* expected;
  };
  const Case cases[] = {
      {"movie.ac3", -60, "movie DELAY -60ms.ac3"},
      {"movie.ac3", 0, "movie.ac3"},
      {"a/b.c/movie", 15, "a/b.c/movie DELAY 15ms"},
      {"out.v2/movie.thd", 1, "out.v2/movie DELAY 1ms.thd"},
      {"x/.hidden", -1, "x/.hidden DELAY -1ms"},
  };
  for (const Case& c : cases) EXPECT_EQ(InsertDelayIntoName(c.name, c.delay), c.expected);
  EXPECT_TRUE(IsStdoutName("stdout"));
  EXPECT_TRUE(IsStdoutName("STDOUT.wav"));
  EXPECT_FALSE(IsStdoutName("x/stdout.wav"));
  EXPECT_FALSE(IsStdoutName("stdouts.wav"));
}

TEST_F(DestFileTest, DelaysFromTheChainGoIntoTheName) {
  struct Case {
    std::vector<int32_t> delays;
    const char* expected;
  };
  const Case cases[] = {{{40, -40}, "movie.ac3"}, {{40, -100}, "movie DELAY -60ms.ac3"}};
  for (const Case& c : cases) {
    auto head = CreatePassThrough();
    for (size_t i = 0; i < c.delays.size(); ++i) head->SetDelay(uint32_t(i), c.delays[i]);
    auto dest = CreateDestFile(Path("movie.ac3"), nullptr, {}, "HDR");  // attached later
    head->SetUpstream(dest);
    ASSERT_TRUE(Deliver(head, "data"));
    ASSERT_TRUE(head->Finish(0));
    EXPECT_EQ(Read(Path(c.expected)), "HDRdata");
    fs::remove(Path(c.expected));
  }
}

TEST_F(DestFileTest, NothingIsCreatedWithoutData) {
  uint32_t bits = 0;
  {
    auto dest = CreateDestFile(Path("a.wav"), &bits, {}, "header");
    auto check = CreateDestFile(Path("x.%check%.wav"), nullptr, {}, "header");
    EXPECT_TRUE(Deliver(check, std::string(3 << 20, 'x')));
    EXPECT_TRUE(check->Finish(0));
  }
  EXPECT_TRUE(fs::is_empty(dir_));
  EXPECT_EQ(out_, "");  // not even "Creating file"
}

TEST_F(DestFileTest, HeaderIsRewrittenAfterRepositioning) {
  uint32_t bits = 0;
  auto dest = CreateDestFile(Path("a.wav"), &bits);
  auto* seek = Query<ISeekableUpStream>(dest);
  ASSERT_NE(seek, nullptr);
  std::mt19937 rng(7);
  std::string data(3 << 20, '\0');
  for (auto& c : data) c = char(rng());
  ASSERT_TRUE(Deliver(dest, std::string(44, 'o'), true));
  ASSERT_TRUE(Deliver(dest, data.substr(0, 1000)));
  ASSERT_TRUE(Deliver(dest, data.substr(1000)));
  EXPECT_EQ(seek->GetSize(), 44u + data.size());
  ASSERT_TRUE(seek->SetPosition(0));
  ASSERT_TRUE(Deliver(dest, std::string(44, 'n'), true));
  EXPECT_EQ(seek->GetPosition(), 44u);
  EXPECT_EQ(seek->GetSize(), 44u + data.size());  // repositioning does not grow the size
  dest->SetValidBits(20, false);
  ASSERT_TRUE(dest->Finish(0));
  EXPECT_EQ(bits, 20u);
  EXPECT_EQ(Read(Path("a.wav")), std::string(44, 'n') + data);
}

TEST_F(DestFileTest, TrailerGoesToTheEndAndNothingAfterFinish) {
  auto dest = CreateDestFile(Path("t.sup"), nullptr, {}, {}, "TRAIL");
  auto* seek = Query<ISeekableUpStream>(dest);
  ASSERT_TRUE(Deliver(dest, "0123456789"));
  ASSERT_TRUE(seek->SetPosition(2));
  ASSERT_TRUE(Deliver(dest, "ab"));
  ASSERT_TRUE(dest->Finish(0));
  EXPECT_EQ(Read(Path("t.sup")), "01ab456789TRAIL");
  EXPECT_FALSE(Deliver(dest, "late"));  // never re-creates the finished file
  EXPECT_EQ(Read(Path("t.sup")), "01ab456789TRAIL");
}

TEST_F(DestFileTest, FixedContentIgnoresTheChain) {
  auto dest = CreateDestFile(Path("chapters.txt"), nullptr, "CHAPTER01=00:00:00.000\r\n");
  EXPECT_TRUE(Deliver(dest, "ignored"));
  EXPECT_TRUE(dest->Finish(0));
  EXPECT_EQ(Read(Path("chapters.txt")), "CHAPTER01=00:00:00.000\r\n");
}

TEST_F(DestFileTest, CreationAndWriteFailures) {
  // One missing folder level is created; two are not.
  auto one = CreateDestFile(Path("new/a.ac3"));
  EXPECT_TRUE(Deliver(one, "x") && one->Finish(0));
  EXPECT_EQ(Read(Path("new/a.ac3")), "x");
  EXPECT_EQ(out_, "Creating file \"" + Path("new/a.ac3") + "\"...\n");
  out_.clear();
  auto two = CreateDestFile(Path("p/q/a.ac3"));
  EXPECT_FALSE(Deliver(two, "x") && two->Finish(0));
  EXPECT_FALSE(two->GetOk());
  EXPECT_FALSE(fs::exists(Path("p")) && fs::exists(Path("p/q")));
  EXPECT_EQ(out_, "Creating file \"" + Path("p/q/a.ac3") + "\"...\nThe destination file \"" +
                      Path("p/q/a.ac3") + "\" could not be created.\n");
  // A path below a regular file.
  std::ofstream(Path("file.txt")) << "x";
  auto below = CreateDestFile(Path("file.txt/x.ac3"));
  EXPECT_FALSE(Deliver(below, "x") && below->Finish(0));
  EXPECT_FALSE(below->GetOk());
  // A full device: the write fails, in mid-stream or at the final flush.
  for (size_t size : {size_t(100), size_t(3) << 20}) {
    auto full = CreateDestFile("/dev/full");
    const bool ok = Deliver(full, std::string(size, 'x')) && full->Finish(0);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(full->GetOk());
    EXPECT_NE(out_.find("Writing the destination file failed.\n"), std::string::npos);
  }
  // An upstream on a destination is an error.
  auto dest = CreateDestFile(Path("u.ac3"));
  dest->SetUpstream(CreateFileSimulator());
  out_.clear();
  EXPECT_FALSE(Deliver(dest, "x"));
  EXPECT_FALSE(fs::exists(Path("u.ac3")));
  EXPECT_EQ(out_, "The destination file upstream property is set.\n");
}

// Standard output through a pipe: everything arrives, SetPosition is refused, and a
// reader that goes away early makes the write fail instead of killing the process.
TEST_F(DestFileTest, StandardOutput) {
  for (bool closeEarly : {false, true}) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      signal(SIGPIPE, SIG_IGN);
      SetQuiet(true);  // as the program does when a destination is the standard output
      dup2(fds[1], 1);
      close(fds[0]);
      close(fds[1]);
      auto dest = CreateDestFile("stdout.wav");
      bool ok = Deliver(dest, std::string(44, 'h'), true);
      ok = ok && !Query<ISeekableUpStream>(dest)->SetPosition(0);
      for (int i = 0; ok && i < 5; ++i) ok = Deliver(dest, std::string(1 << 20, char('a' + i)));
      ok = ok && dest->Finish(0);
      ok = ok && write(1, "!", 1) == 1;  // still open after Finish
      _exit(ok ? 0 : 1);
    }
    close(fds[1]);
    std::string got;
    if (closeEarly) {
      close(fds[0]);
    } else {
      char buffer[65536];
      for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) got.append(buffer, size_t(n));
      close(fds[0]);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by a signal";
    if (closeEarly) {
      EXPECT_EQ(WEXITSTATUS(status), 1);
    } else {
      EXPECT_EQ(WEXITSTATUS(status), 0);
      std::string expected(44, 'h');
      for (int i = 0; i < 5; ++i) expected += std::string(1 << 20, char('a' + i));
      EXPECT_EQ(got, expected + "!");
    }
  }
}

}  // namespace
}  // namespace kavrix
