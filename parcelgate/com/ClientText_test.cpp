// Texts as they arrive from a client, in UTF-16, on their way into the ANSI
// code page: a character that merely looks like a path separator or a dot
// never becomes one. Run in the test prefix's code page (936) and once more
// in 1252, where Windows' best-fit tables would map these look-alikes.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ComTestFixtures.h"
#include "HttpPeers.h"
#include "PcgComClient.h"

namespace {

using namespace testing_support;

class PcgComClientText : public ComClientTest {};

TEST_F(PcgComClientText, LookAlikesInAFileNameNeverLeadElsewhere) {
    char codePage[16] = {};
    if (GetEnvironmentVariableA("PCG_EXPECT_ACP", codePage, sizeof codePage) > 0) {
        ASSERT_EQ(static_cast<UINT>(std::stoul(codePage)), GetACP());
    }
    TempDir dir("pcg");
    ASSERT_TRUE(CreateDirectoryA((dir / "sub").c_str(), nullptr));
    const std::string url = "http://127.0.0.1:" + Env("PCG_COM_HTTP_PORT") + "/ok/text";
    struct Case {
        std::wstring name;      // below dir
        std::string elsewhere;  // where a look-alike turned separator would lead
    };
    for (const Case& c : {Case{L"sub\uFF0Fevil.txt", "sub\\evil.txt"}, Case{L"sub\uFF3Cevil.txt", "sub\\evil.txt"},
                          Case{L"sub\u2215evil.txt", "sub\\evil.txt"},
                          Case{L"sub\\\uFF0E\uFF0E\\up.txt", "up.txt"}}) {
        const std::wstring file = Wide(dir.Path()) + L"\\" + c.name;
        SCOPED_TRACE(c.elsewhere);
        const std::vector<std::string> events = client_.Download(url, file);
        EXPECT_FALSE(FileExists(dir / c.elsewhere));
        // Where the code page holds the character the file carries it in
        // its name; where not, it became "?" and the file cannot be made.
        if (GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES)
            EXPECT_EQ((std::vector<std::string>{"OnBegin", "OnFinish"}), events);
        else
            EXPECT_EQ((std::vector<std::string>{"OnBegin", "OnFail"}), events);
    }
}

}  // namespace
