// Splitting file names, folder texts, item id lists and opening with the default program.
#include "support/TestSupport.h"

#include "common/FileNames.h"
#include "platform/Shell.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

using testsupport::IsolatedTest;

namespace {

struct SplitCase {
    const char* input;
    const char* folder;
    const char* name;
};

const SplitCase kSplits[] = {
    {"\"/home/u/Pictures/a.jpg\"", "/home/u/Pictures", "a.jpg"},
    {"/home/u/Pictures/", "/home/u", "Pictures"},
    {"a.jpg", "a.jpg", "a.jpg"},
    {"/a.jpg", "/", "a.jpg"},
    {"\"/home/u/My \"best\" été.png\"", "/home/u", "My \"best\" été.png"},
    {"/home/u/\"quoted\".png", "/home/u", "\"quoted\".png"},
    {"/home/u/Mes Images/photo 1.jpg", "/home/u/Mes Images", "photo 1.jpg"},
    {"", "", ""},
};

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

} // namespace

TEST_P(SplitTest, SplitsIntoFolderAndName) {
    const SplitCase& c = GetParam();
    FullyQualifiedFilename file(c.input);
    EXPECT_EQ(file.Folder(), c.folder) << c.input;
    EXPECT_EQ(file.Name(), c.name) << c.input;
    EXPECT_EQ(file.Folder().find('"'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Names, SplitTest, ::testing::ValuesIn(kSplits));

TEST(FolderTexts, TrailingSeparatorsAndTheRoot) {
    EXPECT_EQ(WithTrailingBackslash(""), "");
    EXPECT_EQ(WithTrailingBackslash("/"), "/");
    EXPECT_EQ(WithTrailingBackslash("/home/u"), "/home/u/");
    EXPECT_EQ(WithTrailingBackslash("/home/u/"), "/home/u/");
    // Joining a split name back gives the original, also directly below the root.
    for (const char* full : {"/a.jpg", "/home/u/a b.jpg"}) {
        FullyQualifiedFilename file(full);
        EXPECT_EQ(WithTrailingBackslash(file.Folder()) + file.Name(), full);
    }
    Path path;
    EXPECT_FALSE(path.RemoveTrailingBackslash());
    path.text = "/home/u/";
    EXPECT_TRUE(path.Up());
    EXPECT_EQ(path.text, "/home");
    EXPECT_TRUE(path.Up());
    EXPECT_EQ(path.text, "/");
}

class FileNamesTest : public IsolatedTest {};

// A name given relative to the working folder names the same file from anywhere once made
// absolute: "." and ".." go by their text, quotes stay around the whole name, and names that
// need nothing (absolute, empty) or cannot have it (no working folder) stay as they are.
TEST_F(FileNamesTest, RelativeNamesAreMadeAbsoluteFromTheWorkingFolder) {
    const std::filesystem::path before = std::filesystem::current_path();
    const std::string home = folders.Home();
    std::filesystem::create_directories(home + "/pictures/2024");
    std::filesystem::current_path(home + "/pictures");
    EXPECT_EQ(AbsoluteName("a.jpg"), home + "/pictures/a.jpg");
    EXPECT_EQ(AbsoluteName("2024/ä b.jpg"), home + "/pictures/2024/ä b.jpg");
    EXPECT_EQ(AbsoluteName("./2024/../c.png"), home + "/pictures/c.png");
    EXPECT_EQ(AbsoluteName("../d.jpg"), home + "/d.jpg");
    EXPECT_EQ(AbsoluteName("\"a b.jpg\""), "\"" + home + "/pictures/a b.jpg\"");
    EXPECT_EQ(AbsoluteName("/srv/e.jpg"), "/srv/e.jpg");
    EXPECT_EQ(AbsoluteName(""), "");
    // Its text split gives the folder a viewer steps through.
    EXPECT_EQ(FullyQualifiedFilename(AbsoluteName("2024/f.jpg")).Folder(), home + "/pictures/2024");

    std::filesystem::current_path("/");
    EXPECT_EQ(AbsoluteName("g.jpg"), "/g.jpg");
    // A working folder that is gone: nothing better than the name as given.
    std::filesystem::create_directories(home + "/gone");
    std::filesystem::current_path(home + "/gone");
    std::filesystem::remove(home + "/gone");
    EXPECT_EQ(AbsoluteName("h.jpg"), "h.jpg");
    std::filesystem::current_path(before);
}

TEST_F(FileNamesTest, ANullNameIsReported) {
    FullyQualifiedFilename file;
    EXPECT_FALSE(file.Load(static_cast<const char*>(nullptr)));
    file.Load(static_cast<const std::string*>(nullptr));
    const auto shown = boxes.Take();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text.rfind("FullyQualifiedFilename::Load\nstr is null", 0), 0u);
}

TEST_F(FileNamesTest, AnEmptyListHasOnlyItsTerminator) {
    PIDL empty;
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_EQ(empty.Size(), 2u);
    EXPECT_EQ(empty.Capacity(), 0u);
    PIDL::Iterator items(empty.List());
    EXPECT_EQ(items.Next(), nullptr);
}

TEST_F(FileNamesTest, AppendingAOneItemListToAnEmptyOneGivesThatList) {
    const std::string folder = folders.Home();
    PIDL full;
    ASSERT_TRUE(full.FromPath(folder));
    PIDL first;
    first.CopyFirstItem(full.List());
    EXPECT_LT(first.Size(), full.Size());
    EXPECT_EQ(std::memcmp(first.List(), full.List(), first.Size() - 2), 0);
    PIDL empty;
    empty.Append(first);
    EXPECT_EQ(empty.Size(), first.Size());
    EXPECT_EQ(std::memcmp(empty.List(), first.List(), first.Size()), 0);
    PIDL::Iterator items(empty.List());
    EXPECT_NE(items.Next(), nullptr);
    EXPECT_EQ(items.Next(), nullptr); // one item, one terminator
}

TEST_F(FileNamesTest, ReserveWithinTheCapacityAllocatesNothing) {
    PIDL list;
    EXPECT_TRUE(list.Reserve(64));
    ITEMIDLIST* before = list.List();
    EXPECT_FALSE(list.Reserve(64));
    EXPECT_FALSE(list.Reserve(10));
    EXPECT_EQ(list.List(), before);
    EXPECT_EQ(list.Capacity(), 64u);
}

TEST_F(FileNamesTest, PathsRoundTripThroughItemIdListsItemByItem) {
    const std::string folder = folders.Home() + "/Mes \"Images\" été";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    std::ofstream(folder + "/photo 1.jpg") << "x";
    PIDL list;
    ASSERT_TRUE(list.FromPath(folder + "/photo 1.jpg"));
    EXPECT_EQ(platform::PathFromIDList(list.List()), folder + "/photo 1.jpg");
    EXPECT_EQ(platform::AttributesOfIDList(list.List()), SFGAO_FILESYSTEM);
    // Walking the items one at a time and appending them rebuilds the same list, and every
    // prefix on the way is a folder of the namespace.
    PIDL rebuilt;
    PIDL::Iterator items(list.List());
    int count = 0;
    for (const ITEMIDLIST* item = items.Next(); item != nullptr; item = items.Next()) {
        PIDL one;
        one.CopyFirstItem(item);
        rebuilt.Append(one);
        ++count;
        if (item != nullptr && count < 2 + 3) {
            EXPECT_NE(platform::AttributesOfIDList(rebuilt.List()) & SFGAO_FOLDER, 0u);
        }
    }
    EXPECT_TRUE(ILIsEqual(rebuilt.List(), list.List()));
    // Computer, File System, then one item per component of the path.
    int components = 0;
    for (char c : folder + "/photo 1.jpg") {
        components += c == '/';
    }
    EXPECT_EQ(count, 2 + components);
    PIDL copy(list);
    EXPECT_TRUE(ILIsEqual(copy.List(), list.List()));
    EXPECT_NE(copy.List(), list.List());
}

TEST_F(FileNamesTest, PathsThatCannotBeParsedAreRefused) {
    PIDL list;
    EXPECT_FALSE(list.FromPath(""));
    EXPECT_FALSE(list.FromPath("relative/path"));
    EXPECT_FALSE(list.FromPath(folders.Home() + "/missing"));
    EXPECT_TRUE(list.IsEmpty());
    ASSERT_TRUE(list.FromPath(folders.Home() + "/./x/../"));
    EXPECT_EQ(platform::PathFromIDList(list.List()), folders.Home());
    ASSERT_TRUE(list.FromPath("/"));
    EXPECT_EQ(platform::PathFromIDList(list.List()), "/");
    PIDL first;
    first.CopyFirstItem(nullptr);
    EXPECT_TRUE(first.IsEmpty());
}

TEST_F(FileNamesTest, ShellOpenHandsTheFileToTheDefaultProgram) {
    std::vector<std::string> opened;
    platform::SetShellOpener([&](const std::string& verb, const std::string& target) {
        opened.push_back(verb + " " + target);
        return true;
    });
    EXPECT_TRUE(ShellOpen("/home/u/notes été.txt"));
    EXPECT_TRUE(ShellOpen(nullptr));
    platform::SetShellOpener({});
    EXPECT_EQ(opened, (std::vector<std::string>{"Open /home/u/notes été.txt", "Open "}));
}

TEST_F(FileNamesTest, TheTaskAllocatorIsObtainedOnce) {
    EXPECT_TRUE(GetShellAllocator());
    IMalloc* first = comalloc;
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(GetShellAllocator());
    EXPECT_EQ(comalloc, first);
    IMalloc* other = nullptr;
    EXPECT_EQ(CoGetMalloc(2, &other), E_INVALIDARG);
}
