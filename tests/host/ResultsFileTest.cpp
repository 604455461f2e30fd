#include "host/engine/ResultsFile.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "host/engine/Text.h"
#include "tests/support/ScanSession.h"

namespace {

using testing_support::TempFolder;

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(bytes.empty() ||
                WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    CloseHandle(file);
}

std::string ReadBytes(const std::wstring& path) {
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<cannot open>";
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    CloseHandle(file);
    return bytes;
}

host::Results SomeResults() {
    host::Results results;
    results.run.started = "2026-12-07T11:39:48Z";
    results.run.scanned = 2;
    host::PluginRecord record;
    record.path = "C:\\VST\\\xC3\x89t\xC3\xA9.dll";
    record.size = 123;
    record.modified = "2026-12-07T11:39:48.1234567Z";
    record.status = host::Status::Crashed;
    record.exitCode = 9;
    results.plugins.push_back(record);
    record.path = "C:\\VST\\Other.dll";
    record.status = host::Status::Ok;
    record.report.emplace();
    record.report->id = "45464658";
    results.plugins.push_back(record);
    return results;
}

std::string Text(const host::Results& results) {
    return host::ToJson(results).dump(2, ' ', false, host::Json::error_handler_t::replace);
}

TEST(ResultsFile, MissingFileGivesEmptyResultsWithoutWarning) {
    TempFolder folder;
    host::Results results = SomeResults();
    std::string warning = "stale", error;
    EXPECT_TRUE(host::LoadResultsFile(folder.path() + L"\\results.json", &results, &warning, &error));
    EXPECT_TRUE(results.plugins.empty());
    EXPECT_EQ(warning, "");
    EXPECT_TRUE(folder.FileNames().empty());
}

TEST(ResultsFile, UnreadableFilesAreSetAsideWithTheirBytes) {
    struct Row {
        std::string bytes;
        const char* reason;
    } rows[] = {
        {"", "empty"},                                                     // an empty file
        {"{\"format\":1,\"run\":{", "not JSON"},                          // cut off mid-write
        {R"({"format":2,"run":{},"plugins":[]})", "\"format\" is 2"},      // a later scanner's file
        {R"({"format":1,"run":{},"plugins":{}})", "\"plugins\" is not an array"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        TempFolder folder;
        std::wstring path = folder.path() + L"\\results.json";
        WriteBytes(path, row.bytes);
        host::Results results = SomeResults();
        std::string warning, error;
        ASSERT_TRUE(host::LoadResultsFile(path, &results, &warning, &error)) << error;
        EXPECT_TRUE(results.plugins.empty());

        std::vector<std::wstring> names = folder.FileNames();
        ASSERT_EQ(names.size(), 1u);
        EXPECT_EQ(names[0].rfind(L"results.json.bad-", 0), 0u);
        EXPECT_EQ(ReadBytes(folder.path() + L"\\" + names[0]), row.bytes);
        EXPECT_NE(warning.find(host::ToUtf8(names[0])), std::string::npos) << warning;
        EXPECT_NE(warning.find(row.reason), std::string::npos) << warning;
    }
}

TEST(ResultsFile, ASecondBadFileIsSetAsideUnderAnotherName) {
    TempFolder folder;
    std::wstring path = folder.path() + L"\\results.json";
    std::string warnings[2];
    for (std::string& warning : warnings) {
        WriteBytes(path, "not JSON");
        host::Results results;
        std::string error;
        ASSERT_TRUE(host::LoadResultsFile(path, &results, &warning, &error)) << error;
    }
    EXPECT_EQ(folder.FileNames().size(), 2u);
    EXPECT_NE(warnings[0], warnings[1]);
}

TEST(ResultsFile, SavedResultsLoadBackWholeAndLeaveNoTemporaryFile) {
    TempFolder folder;
    std::wstring path = folder.path() + L"\\results.json";
    host::Results first = SomeResults();
    host::Results second = SomeResults();
    second.plugins[1].name = "Bad \xFF byte";  // invalid UTF-8 must not stop a save
    std::string error;
    ASSERT_TRUE(host::SaveResultsFile(path, first, &error)) << error;
    ASSERT_TRUE(host::SaveResultsFile(path, second, &error)) << error;  // over an existing file

    host::Results loaded;
    std::string warning;
    ASSERT_TRUE(host::LoadResultsFile(path, &loaded, &warning, &error)) << error;
    EXPECT_EQ(warning, "");
    second.plugins[1].name = "Bad \xEF\xBF\xBD byte";
    EXPECT_EQ(Text(loaded), Text(second));
    EXPECT_EQ(folder.FileNames(), std::vector<std::wstring>{L"results.json"});
}

TEST(ResultsFile, SavingOverAReadOnlyFileFailsAndKeepsIt) {
    TempFolder folder;
    std::wstring path = folder.path() + L"\\results.json";
    WriteBytes(path, "old");
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    std::string error;
    EXPECT_FALSE(host::SaveResultsFile(path, SomeResults(), &error));
    EXPECT_NE(error.find("results.json"), std::string::npos) << error;
    EXPECT_EQ(ReadBytes(path), "old");
    EXPECT_EQ(folder.FileNames(), std::vector<std::wstring>{L"results.json"});
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(ResultsFile, CheckResultsWritableTellsWhySavingWouldFail) {
    TempFolder folder;
    std::wstring readOnly = folder.path() + L"\\read-only.json";
    std::wstring writable = folder.path() + L"\\writable.json";
    WriteBytes(readOnly, "old");
    WriteBytes(writable, "old");
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    struct Row {
        std::wstring path;
        const char* reason;  // null: writable
    } rows[] = {
        {folder.path() + L"\\missing\\results.json", "does not exist"},  // no such folder
        {readOnly, "is read-only"},
        {writable, nullptr},                                            // an existing file
        {folder.path() + L"\\new.json", nullptr},                        // a file still to make
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(host::ToUtf8(row.path));
        std::string error;
        EXPECT_EQ(host::CheckResultsWritable(row.path, &error), row.reason == nullptr);
        if (row.reason) {
            EXPECT_NE(error.find(row.reason), std::string::npos) << error;
        }
    }
    EXPECT_EQ(folder.FileNames().size(), 2u);  // the check leaves nothing behind
    SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
