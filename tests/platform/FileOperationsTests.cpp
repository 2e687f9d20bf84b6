// Moving, copying and renaming through the shell file operations: nothing is ever replaced,
// nothing half-done is left behind.
#include "support/TestSupport.h"

#include "platform/qt/FileOperations.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using testsupport::IsolatedTest;

namespace {

void write(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

std::string read(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

int run(UINT function, const std::vector<std::string>& paths, const std::string& to, WORD flags) {
    std::string from;
    for (const std::string& path : paths) {
        from += path;
        from += '\0';
    }
    from += '\0';
    SHFILEOPSTRUCTA operation{};
    operation.wFunc = function;
    operation.pFrom = from.c_str();
    operation.pTo = to.c_str();
    operation.fFlags = flags;
    return SHFileOperationA(&operation);
}

class FileOperationsTest : public IsolatedTest {
protected:
    void SetUp() override {
        from = folders.Home() + "/from";
        into = folders.Home() + "/into here";
        std::filesystem::create_directories(from + "/album/inner");
        std::filesystem::create_directories(into);
        write(from + "/été.jpg", "new");
        write(from + "/b.jpg", "b");
        write(from + "/album/inner/c.jpg", "c");
        write(into + "/été.jpg", "old");
    }
    std::string from, into;
};

} // namespace

TEST_F(FileOperationsTest, AMoveNeverReplacesAFileAndMovesTheRest) {
    EXPECT_EQ(run(FO_MOVE, {from + "/été.jpg", from + "/b.jpg", from + "/album"}, into,
                  FOF_NOCONFIRMATION),
              static_cast<int>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(read(into + "/été.jpg"), "old");
    EXPECT_EQ(read(from + "/été.jpg"), "new"); // stays where it was
    EXPECT_EQ(read(into + "/b.jpg"), "b");
    EXPECT_FALSE(std::filesystem::exists(from + "/b.jpg"));
    EXPECT_EQ(read(into + "/album/inner/c.jpg"), "c");
    // With renaming on collision the file gets a free name beside the old one.
    EXPECT_EQ(run(FO_MOVE, {from + "/été.jpg"}, into, FOF_RENAMEONCOLLISION), 0);
    EXPECT_EQ(read(into + "/été (2).jpg"), "new");
    EXPECT_EQ(read(into + "/été.jpg"), "old");
}

TEST_F(FileOperationsTest, ACopyKeepsTheSourceAndTakesAFreeName) {
    EXPECT_EQ(run(FO_COPY, {from + "/été.jpg", from + "/album"}, into, FOF_RENAMEONCOLLISION), 0);
    EXPECT_EQ(run(FO_COPY, {from + "/été.jpg"}, into, FOF_RENAMEONCOLLISION), 0);
    EXPECT_EQ(read(into + "/été.jpg"), "old");
    EXPECT_EQ(read(into + "/été (2).jpg"), "new");
    EXPECT_EQ(read(into + "/été (3).jpg"), "new");
    EXPECT_EQ(read(into + "/album/inner/c.jpg"), "c");
    EXPECT_EQ(read(from + "/été.jpg"), "new");
    EXPECT_EQ(run(FO_COPY, {from + "/b.jpg"}, from, 0), static_cast<int>(ERROR_ALREADY_EXISTS));
}

TEST_F(FileOperationsTest, AFolderIsNeverPutIntoItselfAndRenamesNeverReplace) {
    EXPECT_EQ(run(FO_MOVE, {from + "/album"}, from + "/album/inner", 0),
              static_cast<int>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(run(FO_COPY, {from + "/album"}, from + "/album", 0),
              static_cast<int>(ERROR_INVALID_PARAMETER));
    std::filesystem::create_directory_symlink(from + "/album/inner", folders.Home() + "/shortcut");
    EXPECT_EQ(run(FO_COPY, {from + "/album"}, folders.Home() + "/shortcut", 0),
              static_cast<int>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(read(from + "/album/inner/c.jpg"), "c");
    EXPECT_FALSE(std::filesystem::exists(from + "/album/inner/album"));
    EXPECT_EQ(run(FO_MOVE, {from + "/b.jpg"}, from, 0), 0); // already there: nothing to do
    std::filesystem::create_directory_symlink(from, folders.Home() + "/same");
    EXPECT_EQ(run(FO_MOVE, {from + "/b.jpg"}, folders.Home() + "/same", FOF_RENAMEONCOLLISION), 0);
    EXPECT_EQ(read(from + "/b.jpg"), "b");
    EXPECT_FALSE(std::filesystem::exists(from + "/b (2).jpg"));
    EXPECT_EQ(run(FO_RENAME, {from + "/b.jpg"}, from + "/été.jpg", 0),
              static_cast<int>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(read(from + "/b.jpg"), "b");
    EXPECT_EQ(read(from + "/été.jpg"), "new");
    EXPECT_EQ(run(FO_MOVE, {from + "/b.jpg"}, into + "/missing", 0),
              static_cast<int>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(read(from + "/b.jpg"), "b");
}

// Across file systems a move is a copy and then a removal of the source.
TEST_F(FileOperationsTest, AMoveToAnotherFileSystemCopiesThenRemoves) {
    const std::string other = "/dev/shm";
    struct stat here {
    }, there{};
    if (::stat(folders.Home().c_str(), &here) != 0 || ::stat(other.c_str(), &there) != 0 ||
        here.st_dev == there.st_dev || ::access(other.c_str(), W_OK) != 0) {
        GTEST_SKIP() << "no second writable file system (/dev/shm) here";
    }
    const std::string target = other + "/orvalen-move-" + std::to_string(::getpid());
    std::filesystem::create_directories(target);
    EXPECT_EQ(run(FO_MOVE, {from + "/album", from + "/b.jpg"}, target, 0), 0);
    EXPECT_EQ(read(target + "/album/inner/c.jpg"), "c");
    EXPECT_EQ(read(target + "/b.jpg"), "b");
    EXPECT_FALSE(std::filesystem::exists(from + "/album"));
    EXPECT_FALSE(std::filesystem::exists(from + "/b.jpg"));
    std::filesystem::remove_all(target);
}

// A name with blanks, quotes, "%" and non-ASCII characters goes to the trash with its original
// place percent-encoded, as the trash's readers read it: decoded, it names the file again. The
// toolkit wrote it as it is, and another program restored "%20" as a blank.
TEST_F(FileOperationsTest, TheTrashRecordsTheOriginalPlacePercentEncoded) {
    const std::string name = from + "/a del \"q\" \xC3\xB1%20 x.png";
    write(name, "pink");
    ASSERT_EQ(run(FO_DELETE, {name}, "", FOF_ALLOWUNDO | FOF_NOCONFIRMATION), 0);
    EXPECT_FALSE(std::filesystem::exists(name));
    const std::string trash = folders.Data() + "/Trash";
    std::vector<std::filesystem::path> records;
    for (const auto& entry : std::filesystem::directory_iterator(trash + "/info")) {
        records.push_back(entry.path());
    }
    ASSERT_EQ(records.size(), 1u);
    const std::string record = read(records[0].string());
    const std::size_t at = record.find("\nPath=");
    ASSERT_NE(at, std::string::npos) << record;
    const std::string value = record.substr(at + 6, record.find('\n', at + 1) - at - 6);
    std::string decoded;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const auto c = static_cast<unsigned char>(value[i]);
        EXPECT_TRUE(c > ' ' && c < 0x7F && c != '"') << value;
        if (c == '%' && i + 2 < value.size()) {
            decoded += static_cast<char>(std::stoi(value.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            decoded += static_cast<char>(c);
        }
    }
    EXPECT_EQ(decoded, name);
    EXPECT_NE(record.find("DeletionDate="), std::string::npos) << record;
    const std::string stem = records[0].stem().string();
    EXPECT_EQ(read(trash + "/files/" + stem), "pink");
}
