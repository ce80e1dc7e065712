// Uploads through the built Parcelgate.dll: the file size chooses the form
// (nginx with the upload-progress module and the tests' form backend) or the
// chunks (the tests' chunk server), and one transfer object runs several
// uploads at once.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ComTestFixtures.h"
#include "HttpPeers.h"
#include "PcgComClient.h"

namespace {

using namespace testing_support;

using PcgComUpload = ComClientTest;

std::string FormUrl() { return "http://127.0.0.1:" + Env("PCG_FORM_PORT") + "/up"; }

// The contents the form backend received, in any order.
std::vector<std::string> ReceivedForms() {
    const std::string directory = Env("PCG_FORM_RECORDS");
    std::vector<std::string> contents;
    for (const std::string& file : FilesIn(directory)) {
        if (file.size() > 4 && file.substr(file.size() - 4) == ".bin") contents.push_back(ReadFile(directory + "\\" + file));
    }
    std::sort(contents.begin(), contents.end());
    return contents;
}

TEST_F(PcgComUpload, SizeChoosesThePathAndUploadsRunAtOnce) {
    TempDir dir("pcg");
    struct Case {
        const char* name;
        size_t size;
        bool byForm;
    };
    const std::vector<Case> cases = {{"form-limit.bin", 10240, true},
                                     {"small.bin", 300, true},
                                     {"just-over.bin", 10241, false},
                                     {"bigger.bin", 20000, false},
                                     {"biggest.bin", 300000, false}};
    ComPtr<RecordingSink> sink = Adopt(new RecordingSink());
    ComPtr<INetFileTrans> trans = client_.Trans("t", sink.Get());
    ASSERT_TRUE(trans);
    std::vector<std::string> forms;
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const std::string content = Pattern(c.size, static_cast<uint32_t>(20 + i));
        WriteFile(dir / c.name, content);
        if (c.byForm) forms.push_back(content);
        const std::string url = c.byForm ? FormUrl() : ChunkUrl("-", c.name);
        VARIANT_BOOL started = VARIANT_FALSE;
        ASSERT_EQ(S_OK, trans->Upload(Bstr(dir / c.name).Get(), Bstr(url).Get(), VARIANT_FALSE, &started));
        EXPECT_EQ(VARIANT_TRUE, started);
    }
    trans.Reset();
    // Every worker lets go of the sink once it has ended.
    ASSERT_TRUE(sink->WaitForReferences(1, 60000));

    const auto names = sink->Names();
    EXPECT_EQ(cases.size(), static_cast<size_t>(std::count(names.begin(), names.end(), "OnFinish")));
    EXPECT_EQ(0, std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.find("OnFail") == 0; }));
    std::sort(forms.begin(), forms.end());
    EXPECT_TRUE(forms == ReceivedForms());
    for (size_t i = 0; i < cases.size(); ++i) {
        if (cases[i].byForm) continue;
        SCOPED_TRACE(cases[i].name);
        EXPECT_TRUE(ReadFile(dir / cases[i].name) == ReadFile(ChunkFile(cases[i].name)));
    }
}

// pgxfer through the registered server: its exit codes, a failed upload that
// the next run resumes, and a killed download whose leftover the next
// download of the same target replaces.
TEST(PcgPgxfer, ExitCodesAResumedUploadAndAKilledDownload) {
    const std::string dll = ExecutableDirectory() + "\\Parcelgate.dll";
    TempDir dir("pcg");
    const std::string file = dir / "pgxfer.bin";
    const std::string content = Pattern(20000, 31);
    WriteFile(file, content);
    const std::string pgxfer = "\"" + ExecutableDirectory() + "\\pgxfer.exe\" ";
    const std::string url = ChunkUrl("refuse=4000", "pgxfer.bin");

    // Not registered for this kind of process: the code for "no server" and
    // a message that names the regsvr32 to use.
    Regsvr32("/u /s", dll);
    EXPECT_EQ(3, RunProcess("cmd.exe /c \"" + pgxfer + "upload \"" + file + "\" " + url + " 2>\"" +
                            (dir / "err.txt") + "\"\""));
    const std::string bits = sizeof(void*) == 8 ? "64" : "32";
    EXPECT_NE(std::string::npos, ReadFile(dir / "err.txt").find("not registered for " + bits + "-bit clients"))
        << ReadFile(dir / "err.txt");

    Registered server(dll);
    ASSERT_EQ(0, server.Code());
    struct Case {
        std::string arguments;
        long exitCode;
    };
    for (const Case& c : {Case{"frobnicate", 2},
                          Case{"upload \"" + file + "\" ftp://127.0.0.1/x", 4},
                          Case{"download --force " + url + " \"" + file + "\"", 2},
                          Case{"upload \"" + (dir / "missing.txt") + "\" " + url, 11},  // at once: no event comes
                          Case{"--token t upload \"" + file + "\" " + url, 10},  // OnFail(0): the chunk refused
                          Case{"--token t upload \"" + file + "\" " + url, 0}}) {  // resumed
        SCOPED_TRACE(c.arguments);
        EXPECT_EQ(c.exitCode, RunProcess(pgxfer + c.arguments));
    }
    EXPECT_TRUE(content == ReadFile(ChunkFile("pgxfer.bin")));
    EXPECT_FALSE(FileExists(dir / "pgxfer.upbreak"));

    const std::string target = dir / "target.bin";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::string line = pgxfer + "download " + ChunkUrl("-", "stall") + " \"" + target + "\"";
    ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
    for (int waited = 0; waited < 30000 && !FileExists(target + ".pcgpart"); waited += 20) Sleep(20);
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_TRUE(FileExists(target + ".pcgpart"));
    EXPECT_EQ(0, RunProcess(pgxfer + "download " + ChunkUrl("-", "pgxfer.bin") + " \"" + target + "\""));
    EXPECT_TRUE(content == ReadFile(target));
    EXPECT_FALSE(FileExists(target + ".pcgpart"));
}

}  // namespace
