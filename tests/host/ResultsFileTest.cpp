#include "host/engine/records/ResultsFile.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/engine/util/Text.h"
#include "tests/support/ScanSession.h"

namespace {

using testing_support::TempFolder;

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    ASSERT_EQ(written, bytes.size());
}

std::string ReadBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    std::string bytes(1 << 16, '\0');
    DWORD read = 0;
    ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    return bytes.substr(0, read);
}

std::vector<std::wstring> SortedNames(const TempFolder& folder) {
    std::vector<std::wstring> names = folder.FileNames();
    std::sort(names.begin(), names.end());
    return names;
}

host::Results SomeResults() {
    host::Results results;
    results.run.scanned = 1;
    results.plugins.emplace_back();
    results.plugins[0].path = "C:\\VST\\\xC3\x89t\xC3\xA9.dll";
    results.plugins[0].status = host::Status::Crashed;
    results.plugins[0].exitCode = 9;
    return results;
}

TEST(ResultsFile, MissingFileGivesEmptyResultsWithoutWarning) {
    TempFolder folder;
    host::Results results = SomeResults();
    std::string warning = "stale", error;
    std::wstring path = folder.path() + L"\\results.json";
    EXPECT_TRUE(host::LoadResultsFile(path, &results, &warning, &error));
    EXPECT_TRUE(results.plugins.empty());
    EXPECT_EQ(warning, "");
}

TEST(ResultsFile, UnreadableFilesAreSetAsideWithTheirBytes) {
    struct Row {
        std::string bytes;
        const char* reason;
    } rows[] = {
        {"", "empty"},
        {"{\"format\":1,\"run\":{", "not JSON"},                      // cut off mid-write
        {R"({"format":2,"run":{},"plugins":[]})", "\"format\" is 2"},  // a later scanner's file
        {R"({"format":1,"run":{},"plugins":{}})", "\"plugins\" is not an array"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        TempFolder folder;
        std::wstring path = folder.path() + L"\\results.json";
        WriteBytes(path, row.bytes);
        host::Results results = SomeResults();
        std::string warnings[2], error;
        ASSERT_TRUE(host::LoadResultsFile(path, &results, &warnings[0], &error)) << error;
        EXPECT_TRUE(results.plugins.empty());
        std::vector<std::wstring> names = folder.FileNames();
        ASSERT_EQ(names.size(), 1u);
        EXPECT_EQ(names[0].rfind(L"results.json.bad-", 0), 0u);
        EXPECT_EQ(ReadBytes(folder.path() + L"\\" + names[0]), row.bytes);
        EXPECT_NE(warnings[0].find(host::ToUtf8(names[0])), std::string::npos) << warnings[0];
        EXPECT_NE(warnings[0].find(row.reason), std::string::npos) << warnings[0];

        // Most likely within the same second as the first.
        WriteBytes(path, row.bytes);
        ASSERT_TRUE(host::LoadResultsFile(path, &results, &warnings[1], &error)) << error;
        EXPECT_EQ(folder.FileNames().size(), 2u);
        EXPECT_NE(warnings[0], warnings[1]);
    }
}

TEST(ResultsFile, SavedResultsLoadBackWholeAndLeaveNoTemporaryFile) {
    TempFolder folder;
    std::wstring path = folder.path() + L"\\results.json";
    host::Results saved = SomeResults();
    std::string error, warning;
    ASSERT_TRUE(host::SaveResultsFile(path, saved, &error)) << error;
    saved.plugins[0].name = "Bad \xFF byte";  // invalid UTF-8 must not stop a save
    ASSERT_TRUE(host::SaveResultsFile(path, saved, &error)) << error;  // over the first

    host::Results loaded;
    ASSERT_TRUE(host::LoadResultsFile(path, &loaded, &warning, &error)) << error;
    EXPECT_EQ(warning, "");
    saved.plugins[0].name = "Bad \xEF\xBF\xBD byte";
    EXPECT_EQ(host::ToJson(loaded), host::ToJson(saved));
    EXPECT_EQ(SortedNames(folder), std::vector<std::wstring>{L"results.json"});
}

TEST(ResultsFile, AFailedSaveKeepsTheOldFileAndLeavesNoTemporaryFile) {
    TempFolder folder;
    std::wstring path = folder.path() + L"\\results.json";
    WriteBytes(path, "old");
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    std::string error;
    EXPECT_FALSE(host::SaveResultsFile(path, SomeResults(), &error));
    EXPECT_NE(error.find("results.json: it is read-only"), std::string::npos) << error;
    EXPECT_EQ(ReadBytes(path), "old");
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);

    // A folder in the file's place fails only at the rename, after the
    // temporary file was written.
    std::wstring taken = folder.path() + L"\\taken.json";
    ASSERT_TRUE(CreateDirectoryW(taken.c_str(), nullptr));
    EXPECT_FALSE(host::SaveResultsFile(taken, SomeResults(), &error));
    EXPECT_NE(error.find("taken.json"), std::string::npos) << error;
    EXPECT_EQ(SortedNames(folder), (std::vector<std::wstring>{L"results.json", L"taken.json"}));
    RemoveDirectoryW(taken.c_str());
}

TEST(ResultsFile, CheckResultsWritableTellsWhySavingWouldFail) {
    TempFolder folder;
    std::wstring readOnly = folder.path() + L"\\read-only.json";
    WriteBytes(readOnly, "old");
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    std::string error;
    EXPECT_FALSE(host::CheckResultsWritable(folder.path() + L"\\missing\\r.json", &error));
    EXPECT_NE(error.find("missing of the results does not exist"), std::string::npos) << error;
    EXPECT_FALSE(host::CheckResultsWritable(readOnly, &error));
    EXPECT_NE(error.find("read-only.json is read-only"), std::string::npos) << error;
    EXPECT_TRUE(host::CheckResultsWritable(folder.path() + L"\\new.json", &error)) << error;
    EXPECT_EQ(SortedNames(folder), std::vector<std::wstring>{L"read-only.json"});  // no probe left
    SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
