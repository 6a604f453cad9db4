// Outputs that are not plain files of their own: symbolic links, which stand
// for the file they lead to, and pipes, which take the result directly; and
// a run ended by a signal while its output is written.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

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

// Ctrl+C, kill or a closed terminal while a result is written leave no
// temporary file behind, and the signal still ends the run. The tool is held
// there by its standard output: a pipe of one page, filled so that only the
// text before the first stage fits.
TEST(OutputKinds, SignalWhileSavingLeavesNoTemporaryFile) {
  TemporaryDirectory directory;
  const std::string input = directory.path("in.tga");
  writeBytes(input, tgaFile(20, 10, 24, 0, stripedPicture(20, 10, false, 7)));
  const std::string before = bannerText() + loadingText(input) + "\n";
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const int capacity = fcntl(ends[1], F_SETPIPE_SZ, 4096);
    ASSERT_GT(capacity, static_cast<int>(before.size()));
    const std::string filler(static_cast<std::size_t>(capacity) - before.size(), 'x');
    ASSERT_EQ(write(ends[1], filler.data(), filler.size()), static_cast<ssize_t>(filler.size()));
    const int tool = startTool({input, directory.path("out.tga")}, ends[1]);
    bool writing = false;
    for (int wait = 0; wait < 1000 && !writing; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      writing = listDirectory(directory.root()).size() == 2;
    }
    EXPECT_TRUE(writing);
    kill(tool, signalNumber);
    EXPECT_EQ(waitForTool(tool), 128 + signalNumber);
    close(ends[0]);
    close(ends[1]);
    EXPECT_EQ(listDirectory(directory.root()), std::vector<std::string>{"in.tga"}) << signalNumber;
  }
}

}  // namespace
