#include "convert/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace tonvell {
namespace {

namespace fs = std::filesystem;

// A GBK character whose trail byte is 0x5C, the byte of "\".
const std::string kTrail5C = "\x81\x5C";

void expectParts(const PathParts& p, const std::string& drive, const std::string& directory,
                 const std::string& baseName, const std::string& extension) {
  EXPECT_EQ(p.drive, drive);
  EXPECT_EQ(p.directory, directory);
  EXPECT_EQ(p.baseName, baseName);
  EXPECT_EQ(p.extension, extension);
}

// Records every look-up and creation; `existing` holds the directories that
// are present, without their trailing separator.
class FakeDirectories final : public DirectoryService {
 public:
  explicit FakeDirectories(char separator) : separator_(separator) {}

  bool isDirectory(const std::string& path) override {
    calls.push_back("is " + path);
    return existing.count(path) > 0;
  }
  bool createDirectory(const std::string& path) override {
    calls.push_back("mk " + path);
    if (refuse.count(path) > 0) return false;
    std::string name = path;
    if (!name.empty() && name.back() == separator_) name.pop_back();
    existing.insert(name);
    return true;
  }

  std::set<std::string> existing;
  std::set<std::string> refuse;  // creation of these paths fails
  std::vector<std::string> calls;

 private:
  char separator_;
};

// What the save step does with an output folder and an input path.
std::string outputPathFor(std::string folder, const std::string& input, const PathRules& rules) {
  if (!endsWithByte(folder, rules.separator)) folder += rules.separator;
  const PathParts out = splitPath(folder, rules);
  return makePath(out.drive, out.directory, splitPath(input, rules).baseName, ".mld", rules);
}

// ---------------------------------------------------------------- Windows rules

TEST(WindowsPaths, SplitsDriveDirectoryBaseNameAndExtension) {
  expectParts(splitPath("D:\\midi\\song.mid", kWindowsRules), "D:", "\\midi\\", "song", ".mid");
  expectParts(splitPath("C:\\Out\\", kWindowsRules), "C:", "\\Out\\", "", "");
  expectParts(splitPath("c:song.mid", kWindowsRules), "c:", "", "song", ".mid");
  // "/" separates as well as "\".
  expectParts(splitPath("C:/a\\b/c.mid", kWindowsRules), "C:", "/a\\b/", "c", ".mid");
  // Only a "." after the directory starts the extension; the last one wins.
  expectParts(splitPath("a.b.mid", kWindowsRules), "", "", "a.b", ".mid");
  expectParts(splitPath("C:\\x.y\\song", kWindowsRules), "C:", "\\x.y\\", "song", "");
  expectParts(splitPath(".\\", kWindowsRules), "", ".\\", "", "");
  expectParts(splitPath("", kWindowsRules), "", "", "", "");
}

TEST(WindowsPaths, SplitsNetworkShares) {
  expectParts(splitPath("\\\\srv\\share\\ring\\", kWindowsRules), "\\\\srv\\share", "\\ring\\", "", "");
  expectParts(splitPath("\\\\srv\\share\\ring\\a.mid", kWindowsRules), "\\\\srv\\share", "\\ring\\", "a",
              ".mid");
  // Without the backslash after the share name there is no share drive.
  expectParts(splitPath("\\\\srv\\share", kWindowsRules), "", "\\\\srv\\", "share", "");
  expectParts(splitPath("\\\\srv", kWindowsRules), "", "\\\\", "srv", "");
}

TEST(WindowsPaths, TrailByte5CIsNotASeparator) {
  expectParts(splitPath("C:\\" + kTrail5C + ".mid", kWindowsRules), "C:", "\\", kTrail5C, ".mid");
  expectParts(splitPath("C:\\" + kTrail5C + "a\\b.mid", kWindowsRules), "C:", "\\" + kTrail5C + "a\\", "b",
              ".mid");
  // A share name ending in such a character does not end at its trail byte.
  expectParts(splitPath("\\\\srv\\" + kTrail5C + "x\\ring\\", kWindowsRules), "\\\\srv\\" + kTrail5C + "x",
              "\\ring\\", "", "");
  // A directory whose last character ends in 0x5C still gets a separator.
  EXPECT_EQ(makePath("C:", "\\" + kTrail5C, "x", "", kWindowsRules), "C:\\" + kTrail5C + "\\x");
}

TEST(WindowsPaths, MakesPaths) {
  EXPECT_EQ(makePath("C:", "\\Out\\", "song", ".mld", kWindowsRules), "C:\\Out\\song.mld");
  // Only the drive letter is taken, and the colon is supplied.
  EXPECT_EQ(makePath("C", "\\Out", "song", "mld", kWindowsRules), "C:\\Out\\song.mld");
  EXPECT_EQ(makePath("", "a/", "b", "", kWindowsRules), "a/b");
  EXPECT_EQ(makePath("", "", "b", ".", kWindowsRules), "b.");
  EXPECT_EQ(makePath("", "", "", "", kWindowsRules), "");
  EXPECT_EQ(makePath("\\\\srv\\share", "\\ring\\", "song", ".mld", kWindowsRules),
            "\\\\srv\\share\\ring\\song.mld");
  EXPECT_EQ(makePath("\\\\srv\\share", "ring", "", "", kWindowsRules), "\\\\srv\\sharering\\");
}

TEST(WindowsPaths, StripsTrailingCharacterButNotTrailByte) {
  std::string text = "C:\\a\\";
  EXPECT_EQ(stripTrailingChar(text, '\\', kWindowsRules), 1);
  EXPECT_EQ(text, "C:\\a");
  EXPECT_EQ(stripTrailingChar(text, '\\', kWindowsRules), 0);
  EXPECT_EQ(text, "C:\\a");

  text = "C:\\" + kTrail5C;
  EXPECT_TRUE(endsWithByte(text, '\\'));
  EXPECT_EQ(stripTrailingChar(text, '\\', kWindowsRules), 0);
  EXPECT_EQ(text, "C:\\" + kTrail5C);

  text = kTrail5C + "\\";
  EXPECT_EQ(stripTrailingChar(text, '\\', kWindowsRules), 1);
  EXPECT_EQ(text, kTrail5C);

  text.clear();
  EXPECT_EQ(stripTrailingChar(text, '\\', kWindowsRules), 0);
}

TEST(WindowsPaths, OutputPathsForTheSaveStep) {
  EXPECT_EQ(outputPathFor("C:\\Out", "D:\\midi\\song.mid", kWindowsRules), "C:\\Out\\song.mld");
  EXPECT_EQ(outputPathFor("C:\\Out", "a.b.mid", kWindowsRules), "C:\\Out\\a.b.mld");
  EXPECT_EQ(outputPathFor("C:\\Out", "D:\\midi\\song", kWindowsRules), "C:\\Out\\song.mld");
  EXPECT_EQ(outputPathFor(".\\", "song.mid", kWindowsRules), ".\\song.mld");
  EXPECT_EQ(outputPathFor("", "song.mid", kWindowsRules), "\\song.mld");
  EXPECT_EQ(outputPathFor("\\\\srv\\share\\ring\\", "song.mid", kWindowsRules), "\\\\srv\\share\\ring\\song.mld");
  // The folder's last byte is 0x5C, so no "\" is added and the character is
  // taken for a base name, not a folder.
  EXPECT_EQ(outputPathFor("C:\\" + kTrail5C, "song.mid", kWindowsRules), "C:\\song.mld");
}

TEST(WindowsCreateDirectories, NothingToDoForRootAndCurrentFolders) {
  for (const std::string dir : {"", "\\", ".\\", "..\\"}) {
    FakeDirectories fake('\\');
    EXPECT_EQ(createDirectories("C:", dir, kWindowsRules, fake), 1) << dir;
    EXPECT_TRUE(fake.calls.empty()) << dir;
  }
}

TEST(WindowsCreateDirectories, CreatesMissingFoldersInOrder) {
  FakeDirectories fake('\\');
  fake.existing = {"C:\\a"};
  EXPECT_EQ(createDirectories("C:", "\\a\\b\\c\\", kWindowsRules, fake), 1);
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"is C:\\a", "is C:\\a\\b", "mk C:\\a\\b\\", "is C:\\a\\b\\c",
                                                   "mk C:\\a\\b\\c\\"}));
}

TEST(WindowsCreateDirectories, NetworkShareTestsOnlyTheFolder) {
  FakeDirectories fake('\\');
  EXPECT_EQ(createDirectories("\\\\srv\\share", "\\ring\\", kWindowsRules, fake), 1);
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"is \\\\srv\\share\\ring", "mk \\\\srv\\share\\ring\\"}));

  fake.calls.clear();
  EXPECT_EQ(createDirectories("\\\\srv\\share", "\\ring\\", kWindowsRules, fake), 1);
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"is \\\\srv\\share\\ring"}));
}

TEST(WindowsCreateDirectories, WalksRelativeAndDottedFolders) {
  FakeDirectories fake('\\');
  fake.existing = {"."};
  EXPECT_EQ(createDirectories("", ".\\out\\", kWindowsRules, fake), 1);
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"is .", "is .\\out", "mk .\\out\\"}));

  fake.calls.clear();
  EXPECT_EQ(createDirectories("D:", "out\\x\\", kWindowsRules, fake), 1);
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"is D:out", "mk D:out\\", "is D:out\\x", "mk D:out\\x\\"}));

  // "/" does not start a component, and a trailing name without "\" is not walked.
  fake.calls.clear();
  EXPECT_EQ(createDirectories("", "\\a/b\\c", kWindowsRules, fake), 1);
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"is \\a/b", "mk \\a/b\\"}));
}

TEST(WindowsCreateDirectories, TrailByte5CStaysInsideItsComponent) {
  FakeDirectories fake('\\');
  EXPECT_EQ(createDirectories("C:", "\\" + kTrail5C + "a\\" + kTrail5C + "\\", kWindowsRules, fake), 1);
  EXPECT_EQ(fake.calls,
            (std::vector<std::string>{"is C:\\" + kTrail5C + "a", "mk C:\\" + kTrail5C + "a\\",
                                      "is C:\\" + kTrail5C + "a\\" + kTrail5C,
                                      "mk C:\\" + kTrail5C + "a\\" + kTrail5C + "\\"}));
}

// The rules of the Windows build: UTF-8 text (no byte after a lead byte is
// taken into a character), "\\" and "/" both walked, "\\" appended.
constexpr PathRules kWindowsUtf8Rules{true, '\\', false};

TEST(WindowsUtf8Paths, EveryComponentIsWalkedWhateverItsSeparatorAndText) {
  const std::string song = "\xE9\x93\x83\xE5\xA3\xB0";  // ends in 0xB0, a GBK lead byte
  FakeDirectories fake('\\');
  fake.existing = {"D:"};
  EXPECT_EQ(createDirectories("D:", "\\" + song + "\\a/b\\", kWindowsUtf8Rules, fake), 1);
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"is D:\\" + song, "mk D:\\" + song + "\\",
                                                   "is D:\\" + song + "\\a", "mk D:\\" + song + "\\a/",
                                                   "is D:\\" + song + "\\a/b", "mk D:\\" + song + "\\a/b\\"}));
  for (const std::string dir : {"/", "./", "..\\", ".\\"}) {
    fake.calls.clear();
    EXPECT_EQ(createDirectories("", dir, kWindowsUtf8Rules, fake), 1) << dir;
    EXPECT_TRUE(fake.calls.empty()) << dir;
  }
  expectParts(splitPath("C:\\" + song + "\\x.mid", kWindowsUtf8Rules), "C:", "\\" + song + "\\", "x", ".mid");
  // A folder that ends in either separator keeps it; one that ends in
  // neither gets "\\".
  EXPECT_TRUE(endsWithSeparator("ring/", kWindowsUtf8Rules));
  EXPECT_TRUE(endsWithSeparator(song + "\\", kWindowsUtf8Rules));
  EXPECT_FALSE(endsWithSeparator(song, kWindowsUtf8Rules));
  EXPECT_FALSE(endsWithSeparator("ring/", kWindowsRules));
}

TEST(WindowsCreateDirectories, StopsAtTheFirstFolderThatCannotBeMade) {
  FakeDirectories fake('\\');
  fake.refuse = {"C:\\a\\"};
  EXPECT_EQ(createDirectories("C:", "\\a\\b\\", kWindowsRules, fake), 0);
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"is C:\\a", "mk C:\\a\\"}));
}

TEST(WindowsCreateDirectories, RefusesPathsLongerThan259Bytes) {
  // "C:" + "\" + name + "\" is the deepest path made; 259 bytes fit the
  // 260-byte buffer with its terminator, 260 do not.
  const std::string fits(255, 'n');
  FakeDirectories fake('\\');
  EXPECT_EQ(createDirectories("C:", "\\" + fits + "\\", kWindowsRules, fake), 1);
  EXPECT_EQ(fake.calls.size(), 2u);

  FakeDirectories tooLong('\\');
  EXPECT_EQ(createDirectories("C:", "\\" + fits + "n\\", kWindowsRules, tooLong), 0);
  EXPECT_TRUE(tooLong.calls.empty());
}

// ----------------------------------------------------------------- native rules

TEST(NativePaths, SplitsByTheOrdinaryRule) {
  expectParts(splitPath("/home/u/a.b.mid"), "", "/home/u/", "a.b", ".mid");
  expectParts(splitPath("a.b.mid"), "", "", "a.b", ".mid");
  expectParts(splitPath("songs/song"), "", "songs/", "song", "");
  expectParts(splitPath("./"), "", "./", "", "");
  expectParts(splitPath("a.d/b"), "", "a.d/", "b", "");
  // A name that starts with its only dot is all extension.
  expectParts(splitPath("dir/.mid"), "", "dir/", "", ".mid");
  expectParts(splitPath(".hidden.mid"), "", "", ".hidden", ".mid");
  // No drives, and "\" is an ordinary byte.
  expectParts(splitPath("C:\\x\\y.mid"), "", "", "C:\\x\\y", ".mid");
  expectParts(splitPath("//srv/share/ring/"), "", "//srv/share/ring/", "", "");
  expectParts(splitPath("铃声/曲.mid"), "", "铃声/", "曲", ".mid");
}

TEST(NativePaths, MakesPaths) {
  EXPECT_EQ(makePath("", "out", "song", "mld"), "out/song.mld");
  EXPECT_EQ(makePath("", "./", "song", ".mld"), "./song.mld");
  EXPECT_EQ(makePath("", "/", "song", ".mld"), "/song.mld");
  EXPECT_EQ(makePath("", "a\\", "b", ""), "a\\/b");
  EXPECT_EQ(makePath("", "", "song", ""), "song");
  for (const std::string path : {"/home/u/a.b.mid", "rel/x", "./.mid", "铃声/曲.mid"}) {
    const PathParts p = splitPath(path);
    EXPECT_EQ(makePath(p.drive, p.directory, p.baseName, p.extension), path);
  }
  EXPECT_EQ(outputPathFor("out", "/music/a.b.mid", kNativeRules), "out/a.b.mld");
  EXPECT_EQ(outputPathFor("./", "/music/song", kNativeRules), "./song.mld");
}

TEST(NativePaths, StripsTrailingSlash) {
  std::string text = "out/";
  EXPECT_EQ(stripTrailingChar(text, '/'), 1);
  EXPECT_EQ(text, "out");
  EXPECT_EQ(stripTrailingChar(text, '/'), 0);
  EXPECT_EQ(text, "out");
  // Native text is UTF-8: a byte after 0x81 is not swallowed.
  text = "\x81\\";
  EXPECT_EQ(stripTrailingChar(text, '\\'), 1);
  EXPECT_EQ(text, "\x81");
}

TEST(NativeCreateDirectories, WalkWithFakeService) {
  for (const std::string dir : {"", "/", "./", "../"}) {
    FakeDirectories fake('/');
    EXPECT_EQ(createDirectories("", dir, kNativeRules, fake), 1) << dir;
    EXPECT_TRUE(fake.calls.empty()) << dir;
  }
  // The root is never looked up; "\" does not separate.
  FakeDirectories fake('/');
  fake.existing = {"/a\\b"};
  EXPECT_EQ(createDirectories("", "/a\\b/c/", kNativeRules, fake), 1);
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"is /a\\b", "is /a\\b/c", "mk /a\\b/c/"}));

  // PATH_MAX counts the terminator: a deepest path of PATH_MAX - 1 bytes fits.
  const std::string fits = "/" + std::string(PATH_MAX - 3, 'n') + "/";
  FakeDirectories atLimit('/');
  EXPECT_EQ(createDirectories("", fits, kNativeRules, atLimit), 1);
  EXPECT_EQ(atLimit.calls.size(), 2u);
  FakeDirectories overLimit('/');
  EXPECT_EQ(createDirectories("", "/n" + fits, kNativeRules, overLimit), 0);
  EXPECT_TRUE(overLimit.calls.empty());
}

class NativeDirectoriesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tonvell-paths-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  static bool isDir(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }

  std::string root_;
};

TEST_F(NativeDirectoriesTest, CreatesNestedFolders) {
  EXPECT_EQ(createDirectories("", root_ + "/a/b/c/"), 1);
  EXPECT_TRUE(isDir(root_ + "/a/b/c"));
  // Present folders are simply found again.
  EXPECT_EQ(createDirectories("", root_ + "/a/b/c/"), 1);
  // A trailing name without "/" is a file name, not a folder.
  EXPECT_EQ(createDirectories("", root_ + "/d/e"), 1);
  EXPECT_TRUE(isDir(root_ + "/d"));
  EXPECT_FALSE(fs::exists(root_ + "/d/e"));
}

TEST_F(NativeDirectoriesTest, PlainFileBlocksAFolder) {
  std::ofstream(root_ + "/f") << "x";
  DirectoryService& native = nativeDirectories();
  EXPECT_FALSE(native.isDirectory(root_ + "/f"));
  EXPECT_TRUE(native.isDirectory(root_ + "/"));
  EXPECT_EQ(createDirectories("", root_ + "/f/x/"), 0);
  EXPECT_TRUE(fs::is_regular_file(root_ + "/f"));
  EXPECT_EQ(createDirectories("", root_ + "/g/f/"), 1);
  std::ofstream(root_ + "/g/f/h") << "x";
  EXPECT_EQ(createDirectories("", root_ + "/g/f/h/i/"), 0);
  EXPECT_FALSE(isDir(root_ + "/g/f/h"));
}

// The folder that could not be made, and the system's reason.
TEST_F(NativeDirectoriesTest, AFailureNamesTheFolderAndTheReason) {
  std::ofstream(root_ + "/f") << "x";
  DirectoryFailure failure;
  EXPECT_EQ(createDirectories("", root_ + "/a/f/", kNativeRules, nativeDirectories(), &failure), 1);
  EXPECT_EQ(failure.folder, "") << "untouched when nothing failed";
  EXPECT_EQ(createDirectories("", root_ + "/f/x/", kNativeRules, nativeDirectories(), &failure), 0);
  EXPECT_EQ(failure.folder, root_ + "/f");
  EXPECT_EQ(failure.osError, ENOTDIR) << "a plain file is in the way";
  EXPECT_EQ(createDirectories("", root_ + "/a/f/missing/x/", kNativeRules, nativeDirectories(), &failure), 1);
  ASSERT_EQ(::chmod((root_ + "/a").c_str(), 0555), 0);
  if (::geteuid() != 0) {
    EXPECT_EQ(createDirectories("", root_ + "/a/new/", kNativeRules, nativeDirectories(), &failure), 0);
    EXPECT_EQ(failure.folder, root_ + "/a/new");
    EXPECT_EQ(failure.osError, EACCES);
  }
  ASSERT_EQ(::chmod((root_ + "/a").c_str(), 0755), 0);
  std::string deep = root_ + "/";
  while (deep.size() < PATH_MAX + 10) deep += std::string(200, 'd') + "/";
  EXPECT_EQ(createDirectories("", deep, kNativeRules, nativeDirectories(), &failure), 0);
  EXPECT_EQ(failure.osError, ENAMETOOLONG);
  EXPECT_EQ(failure.folder, deep);
}

TEST_F(NativeDirectoriesTest, RelativeFoldersStartAtTheCurrentDirectory) {
  char saved[PATH_MAX];
  ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(::chdir(root_.c_str()), 0);
  const int bare = createDirectories("", "out/x/");
  const int dotted = createDirectories("", "./dot/y/");
  const int parent = createDirectories("", "out/../up/");
  ASSERT_EQ(::chdir(saved), 0);

  EXPECT_EQ(bare, 1);
  EXPECT_TRUE(isDir(root_ + "/out/x"));
  EXPECT_EQ(dotted, 1);
  EXPECT_TRUE(isDir(root_ + "/dot/y"));
  EXPECT_EQ(parent, 1);
  EXPECT_TRUE(isDir(root_ + "/up"));
}

TEST_F(NativeDirectoriesTest, TooLongPathIsRefusedWithoutCreatingAnything) {
  std::string dir = root_ + "/";
  while (dir.size() < PATH_MAX + 10) dir += std::string(200, 'd') + "/";
  EXPECT_EQ(createDirectories("", dir), 0);
  EXPECT_FALSE(fs::exists(root_ + "/" + std::string(200, 'd')));
}

}  // namespace
}  // namespace tonvell
