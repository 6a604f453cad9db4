// Outputs that are not plain files of their own: symbolic links, which stand
// for the file they lead to, and pipes, which take the result directly; and
// a run ended by a signal while its output is written.

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "test_support.h"

namespace {

bool isLink(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

// Through a relative link, a chain that ends in an absolute one, and a link
// that dangles, the file at the end is replaced or created, with no
// temporary file left in either folder, and the links stay links.
TEST(OutputKinds, LinksLeadToTheFileThatIsReplaced) {
  TemporaryDirectory directory;
  const std::string sub = directory.path("sub");
  makeDirectory(sub);
  writeBytes(directory.path("in.tga"), tgaFile(20, 10, 24, 0, stripedPicture(20, 10, false, 5)));
  ASSERT_EQ(runTool({directory.path("in.tga"), directory.path("plain.tga")}).exitStatus, 0);
  const Bytes result = readBytes(directory.path("plain.tga"));
  writeBytes(sub + "/target.tga", {'o', 'l', 'd'});
  ASSERT_EQ(symlink("sub/target.tga", directory.path("link.tga").c_str()), 0);
  ASSERT_EQ(symlink("../link.tga", (sub + "/chain.tga").c_str()), 0);
  ASSERT_EQ(symlink((sub + "/new.tga").c_str(), directory.path("dangling.tga").c_str()), 0);

  for (const std::string& output : {directory.path("link.tga"), sub + "/chain.tga", directory.path("dangling.tga")}) {
    writeBytes(sub + "/target.tga", {'o', 'l', 'd'});
    EXPECT_EQ(runTool({directory.path("in.tga"), output}).exitStatus, 0) << output;
    EXPECT_TRUE(isLink(output)) << output;
    EXPECT_EQ(readBytes(output), result) << output;  // read through the links
  }
  EXPECT_EQ(listDirectory(directory.root()),
            (std::vector<std::string>{"dangling.tga", "in.tga", "link.tga", "plain.tga", "sub"}));
  EXPECT_EQ(listDirectory(sub), (std::vector<std::string>{"chain.tga", "new.tga", "target.tga"}));
}

// A pipe with a reader gets the whole result, written in place; one that
// nobody reads is refused at once (HonestExitStatus).
TEST(OutputKinds, PipeWithAReaderGetsTheWholeResult) {
  TemporaryDirectory directory;
  const std::string pipe = directory.path("pipe.tga");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
  writeBytes(directory.path("in.tga"), tgaFile(100, 60, 24, 0, stripedPicture(100, 60, false, 6)));
  ASSERT_EQ(runTool({directory.path("in.tga"), directory.path("plain.tga")}).exitStatus, 0);
  // Held open for reading and writing, the pipe has a reader throughout,
  // and the result (18,018 bytes) fits in its buffer.
  const int reader = open(pipe.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(runTool({directory.path("in.tga"), pipe}).exitStatus, 0);
  Bytes received(100000);
  const ssize_t got = read(reader, received.data(), received.size());
  close(reader);
  received.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  EXPECT_EQ(received, readBytes(directory.path("plain.tga")));
  EXPECT_EQ(listDirectory(directory.root()), (std::vector<std::string>{"in.tga", "pipe.tga", "plain.tga"}));
}

// Ctrl+C, Ctrl+\, kill with any signal that ends a process, a closed
// terminal or kill -9 while a large result is half written leave the folder
// as it was: the old output byte for byte and no other file; and the signal
// still ends the run. The tool is held halfway through its last stage, which
// writes the rows as it corrects them, by its standard output. Where the file
// system offers no files without a name, or a sandbox refuses to name them,
// the temporary file has one: every signal but kill -9 removes it, and
// kill -9 leaves it beside the output. Let go without a signal, or after one
// that the run was started to ignore (nohup, a background job), the run saves
// the result that a run without refusals saves.
TEST(OutputKinds, RunEndedWhileSavingLeavesTheFolderAsItWas) {
  constexpr int kWidth = 1200;
  constexpr int kHeight = 900;
  const Bytes picture = tgaFile(kWidth, kHeight, 24, 0, stripedPicture(kWidth, kHeight, false, 7));
  TemporaryDirectory plain;
  writeBytes(plain.path("in.tga"), picture);
  ASSERT_EQ(runTool({plain.path("in.tga"), plain.path("out.tga")}).exitStatus, 0);
  const Bytes result = readBytes(plain.path("out.tga"));
  struct Case {
    int signalNumber;  // 0: none is sent
    Refusal refused;
    bool ignoring = false;  // started with SIGHUP, SIGINT and SIGQUIT ignored
  };
  const Refusal named = Refusal::kUnnamedFiles;
  const Case cases[] = {
      {SIGINT, Refusal::kNothing}, {SIGTERM, Refusal::kNothing}, {SIGHUP, Refusal::kNothing},
      {SIGKILL, Refusal::kNothing}, {0, Refusal::kNothing},
      {SIGINT, named}, {SIGTERM, named}, {SIGHUP, named}, {SIGQUIT, named}, {SIGUSR1, named}, {SIGUSR2, named},
      {SIGALRM, named}, {SIGVTALRM, named}, {SIGPROF, named}, {SIGXCPU, named}, {SIGPWR, named}, {SIGRTMIN, named},
      {SIGRTMAX, named}, {SIGKILL, named}, {0, named},
      {0, Refusal::kNamingUnnamedFiles}, {SIGINT, Refusal::kNamingUnnamedFiles},
      {SIGKILL, Refusal::kNamingUnnamedFiles},
      {SIGHUP, Refusal::kNothing, true}, {SIGINT, named, true}, {SIGQUIT, named, true}};
  for (const Case& c : cases) {
    if (c.refused != Refusal::kNothing && !refusalsCanBeMade()) continue;
    const std::string what = std::to_string(c.signalNumber) + (c.refused == Refusal::kUnnamedFiles ? " with named files"
                                                              : c.refused == Refusal::kNothing ? ""
                                                                                               : " with naming refused") +
                             (c.ignoring ? ", started ignoring it" : "");
    const bool ends = c.signalNumber != 0 && !c.ignoring;
    TemporaryDirectory directory;
    const std::string input = directory.path("in.tga");
    const std::string output = directory.path("out.tga");
    writeBytes(input, picture);
    writeBytes(output, {'o', 'l', 'd'});
    const std::string text = runTextBeforeReport(input, output, kHeight);
    const std::size_t dots = text.find("performing shift ") + 17;
    const HeldTool tool =
        startHeldTool({input, output}, dots + (text.find('\n', dots) - dots) / 2, c.refused, c.ignoring);
    EXPECT_TRUE(waitUntilWriting(tool.process, directory.root(), savedFileSize(kWidth, kHeight) / 4)) << what;
    if (c.signalNumber != 0) kill(tool.process, c.signalNumber);
    EXPECT_EQ(finishHeldTool(tool).exitStatus, ends ? 128 + c.signalNumber : 0) << what;

    std::vector<std::string> names = listDirectory(directory.root());
    if (c.refused != Refusal::kNothing && c.signalNumber == SIGKILL) {
      ASSERT_EQ(names.size(), 3u) << what;
      EXPECT_EQ(names[0].substr(0, 9), ".lomvera-") << what;
      names.erase(names.begin());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"in.tga", "out.tga"})) << what;
    EXPECT_EQ(readBytes(output), ends ? (Bytes{'o', 'l', 'd'}) : result) << what;
  }
  if (!refusalsCanBeMade()) {
    GTEST_SKIP() << "the cases with files without a name refused, or their naming, were left out: this system "
                    "refuses the tests the seccomp filter that makes those refusals (as qemu-user does)";
  }
}

}  // namespace
