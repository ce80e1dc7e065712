// Who may publish what pennant runs elevated: the real pennant.exe with the
// machine policy naming the test publisher, against signed, unsigned and
// altered copies of the test installer; the policy read from both sources;
// the deliverables signed and judged by the same check.
#include "app/Codes.h"
#include "http/DownloadJob.h"
#include "http/InstallerTrust.h"

#include "CodeSigning.h"
#include "PennantRun.h"
#include "ProductRun.h"
#include "TestAuthority.h"
#include "TestInstaller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

using namespace pennant;
using namespace testing_support;

namespace {

const TrustedTestAuthority codeSigningAuthority("CODESIGN_CA_FILE");

enum Digest { Right, Wrong, Absent };

struct TrustRun {
    const char* name;
    const char* signer;  // the peer's signer; nullptr: unsigned
    bool policy;         // TrustedPublishers names the test publisher
    bool alteredAfterSigning;
    Digest md5;
    Digest sha256;
    bool installs;
    const char* logLine;
};

std::string Sha256Of(const std::string& bytes) {
    TempDir dir("sha");
    WriteFile(dir / "f", bytes);
    UniqueKernelHandle file(CreateFileA((dir / "f").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
    FileDigests digests;
    HandleDigestsHex(file.Get(), true, digests);
    return digests.sha256;
}

const TrustRun TrustRuns[] = {
    {"RightPublisherInstalls", "right", true, false, Right, Right, true,
     "installer trust check : PASS, signer = Aldermoor Test Publisher"},
    {"WithoutPolicyUnsignedInstalls", nullptr, false, false, Right, Absent, true,
     "no trusted publisher configured, unsigned installers are allowed"},
    {"WrongPublisher", "other", true, false, Right, Absent, false,
     "check = publisher not trusted, code = 0x800b0004, signer = Other Test Publisher"},
    {"Unsigned", nullptr, true, false, Right, Absent, false, "check = not signed"},
    {"ByteChangedAfterSigning", "right", true, true, Right, Absent, false,
     "check = altered after signing"},
    {"UntrustedRoot", "untrusted", true, false, Right, Absent, false,
     "check = untrusted root"},
    {"ExpiredSigner", "expired", true, false, Right, Absent, false,
     "check = signer expired without a valid timestamp"},
    {"RightSignerWrongMd5", "right", true, false, Wrong, Absent, false,
     "md5 check failed for file"},
    {"RightMd5WrongSha256", "right", true, false, Right, Wrong, false,
     "sha256 check failed for file"},
};

void PrintTo(const TrustRun& r, std::ostream* out) { *out << r.name; }

class Trust : public ::testing::TestWithParam<TrustRun> {};

// Refused installers end as a wrong MD5 does: file gone, report 3, exit code 2.
TEST_P(Trust, InstallsOnlyWhatItsPublisherSigned) {
    const TrustRun& r = GetParam();
    ASSERT_TRUE(codeSigningAuthority.Trusted());
    ProductRun product(std::string("trust-") + r.name);
    RunTask& task = product.task;
    std::string installer = product.Installer();
    ASSERT_FALSE(installer.empty());
    if (r.signer) installer = SignedCopy(installer, r.signer);
    ASSERT_FALSE(installer.empty()) << "peer --codesign signed nothing";
    if (r.alteredAfterSigning) installer[installer.size() / 3] ^= 1;
    task.Serve(Server::Nginx, "-", installer);
    if (r.md5 == Wrong) task.md5 = "0123456789abcdef0123456789abcdef";
    if (r.sha256 != Absent) task.sha256 = Sha256Of(installer);
    if (r.sha256 == Wrong) task.sha256[0] = task.sha256[0] == '0' ? '1' : '0';
    std::optional<PublisherPolicy> policy;
    if (r.policy) {
        ASSERT_TRUE(policy.emplace(std::vector<std::wstring>{TestPublisher}).Set());
    }

    PennantRun run(task);
    ASSERT_NE(nullptr, run.WaitForOffer());
    run.Command(UpgradeCommand);
    const char* text = r.installs ? "恭喜您软件已成功升级至 3.1.0.7。" : "安装文件损坏，请重新下载。";
    ASSERT_TRUE(run.WaitPhase(r.installs ? Finished : DownloadFailed));
    EXPECT_EQ(text, run.WaitStatusText(text));
    run.Command(DoneCommand);
    EXPECT_EQ(r.installs ? 0 : 2, run.Exit());
    EXPECT_EQ(run.Bodies(r.installs ? std::vector<int>{Accepted, Downloaded, InstallStarted, Installed}
                                    : std::vector<int>{Accepted, DownloadError}),
              run.ReportBodies());
    EXPECT_NE(std::string::npos, run.Log().find(r.logLine)) << run.Log();
    EXPECT_FALSE(FileExists(run.InstallerFile()));
}

INSTANTIATE_TEST_SUITE_P(Runs, Trust, ::testing::ValuesIn(TrustRuns),
                         [](const ::testing::TestParamInfo<TrustRun>& info) {
                             return std::string(info.param.name);
                         });

TEST(TrustedPublishers, BuiltInJoinedWithThePolicy) {
    const std::vector<std::wstring> builtIn = {L"Built In Publisher"};
    EXPECT_EQ(builtIn, ReadTrustedPublishers(builtIn).names) << "no policy value";
    EXPECT_FALSE(ReadTrustedPublishers({}).Configured());
    {
        const PublisherPolicy policy({L"First Policy Publisher", L"", L"Second"});
        ASSERT_TRUE(policy.Set());
        const TrustedPublishers read = ReadTrustedPublishers(builtIn);
        EXPECT_EQ((std::vector<std::wstring>{L"Built In Publisher", L"First Policy Publisher"}),
                  read.names)
            << "an empty entry ends a REG_MULTI_SZ";
        EXPECT_FALSE(read.policyUnreadable);
    }
    {
        // One name written as a plain string is a list of one.
        const PublisherPolicy policy({L"Only"}, REG_SZ);
        ASSERT_TRUE(policy.Set());
        EXPECT_EQ(std::vector<std::wstring>{L"Only"}, ReadTrustedPublishers({}).names);
    }
    {
        // A value of the wrong type trusts nobody rather than everybody.
        const PublisherPolicy policy({L"Aldermoor Test Publisher"}, REG_BINARY);
        ASSERT_TRUE(policy.Set());
        EXPECT_TRUE(ReadTrustedPublishers({}).policyUnreadable);
    }
}

// The deliverables, signed as scripts/build signs them, pass the check that
// judges installers; an unsigned one does not.
TEST(TrustedPublishers, SignedDeliverablesPassTheInstallerCheck) {
    ASSERT_TRUE(codeSigningAuthority.Trusted());
    const TrustedPublishers publishers{{TestPublisher}, false};
    TempDir dir("dlv");
    for (const char* name : {"pennant.exe", "Parcelgate.dll", "pgxfer.exe"}) {
        const std::string release = ExecutableDirectory() + "\\..\\..\\release\\bin\\" + name;
        const std::string bytes = WithoutSignature(ReadFile(release));  // as the linker made it
        ASSERT_FALSE(bytes.empty()) << release;
        for (const bool sign : {true, false}) {
            WriteFile(dir / name, sign ? SignedCopy(bytes, "right") : bytes);
            UniqueKernelHandle file(CreateFileA((dir / name).c_str(), GENERIC_READ,
                                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
            EXPECT_EQ(sign, CheckInstallerTrust(file.Get(), dir / name, publishers)) << name;
        }
    }
}

}  // namespace
