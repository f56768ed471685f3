// Users and authentication: user.xml found through the mail directory, the handler factory,
// plaintext comparison and the salted SHA-1 check with its construction errors.
#include "server/pop3/authentication.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "common/exception.h"
#include "common/password_hash.h"
#include "server/core/config.h"
#include "server/pop3/user_xml.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

using namespace Ovrin;
using OvrinTest::LogCapture;
using OvrinTest::TempDir;

namespace {

// SHA-1 of "1234" + "secret" + "1234", and of "secret" alone.
const char* const kSaltedSecret = "5cd40d143b80ff1acb086f6b8b9fc204650f3eb7";
const char* const kPlainSecret = "e5e9fa1ba31ecd1ae84f75caaa474f3a663f05f4";

class Authentication : public testing::Test {
protected:
    void SetUp() override { XMLInstallErrorHandler(); }

    // A user "u" whose user.xml holds the authentication element.
    CUserXMLPtr User(const std::string& authentication) {
        std::filesystem::create_directories(dir / "u");
        OvrinTest::WriteWholeFile(dir / "u/user.xml",
                                  "<?xml version=\"1.0\"?>\n<user><params/><pop3-server>" + authentication +
                                      "</pop3-server><pop3-clients/></user>\n");
        Config().SetValue("mail-directory", dir.Path());
        users.push_back(std::make_shared<CUserXML>("u"));
        return users.back();
    }

    CAuthenticationPtr Make(const std::string& authentication) {
        CUserXMLPtr user = User(authentication);
        CXPathContext context(*user);
        return CAuthentication::Create(context.Eval("/user/pop3-server/authentication")->GetNodePtr());
    }

    std::string Error(const std::string& authentication) {
        LogCapture log;
        try {
            Make(authentication);
        } catch (const CMessageException& e) {
            return e.what();
        }
        return "(no exception)";
    }

    static std::string Hash(const std::string& salt, const std::string& hash, const std::string& method = "sha1") {
        return "<authentication handler=\"hash\" method=\"" + method + "\" salt=\"" + salt + "\" hash=\"" + hash + "\"/>";
    }

    TempDir dir;
    std::vector<CUserXMLPtr> users;
};

}  // namespace

TEST_F(Authentication, UserFileIsFoundThroughTheMailDirectory) {
    CUserXMLPtr user = User("<authentication handler=\"plaintext\" password=\"p\"/>");
    EXPECT_EQ(user->GetUserName(), "u");
    EXPECT_EQ(user->GetFilename(), dir / "u/user.xml");
    Config().SetValue("mail-directory", dir.Path());
    LogCapture log;
    EXPECT_THROW(CUserXML("nobody"), CMessageException);
}

TEST_F(Authentication, PlaintextNeedsTheExactPassword) {
    CAuthenticationPtr plain = Make("<authentication handler=\"plaintext\" password=\"Secret\"/>");
    EXPECT_TRUE(plain->Authenticate("u", "Secret"));
    EXPECT_FALSE(plain->Authenticate("u", "secret"));
    EXPECT_FALSE(plain->Authenticate("u", "Secret "));
    EXPECT_FALSE(plain->Authenticate("u", ""));
    // The user name plays no part.
    EXPECT_TRUE(plain->Authenticate("someone else", "Secret"));
}

TEST_F(Authentication, HandlersAreKeyedByTheExactText) {
    EXPECT_EQ(Error("<authentication handler=\"Plaintext\" password=\"p\"/>"),
              "Invalid or unknown authentication handler: 'Plaintext'");
    EXPECT_EQ(Error("<authentication password=\"p\"/>"), "Invalid or unknown authentication handler: ''");
    // No authentication element at all.
    EXPECT_EQ(Error(""), "Invalid or unknown authentication handler: ''");
}

TEST_F(Authentication, HashIsTakenOverSaltPasswordSalt) {
    CAuthenticationPtr hash = Make(Hash("1234", kSaltedSecret));
    EXPECT_TRUE(hash->Authenticate("u", "secret"));
    EXPECT_FALSE(hash->Authenticate("u", "Secret"));
    EXPECT_FALSE(hash->Authenticate("u", "1234secret1234"));
    // The unsalted digest of the password is not enough.
    EXPECT_FALSE(Make(Hash("1234", kPlainSecret))->Authenticate("u", "secret"));
}

TEST_F(Authentication, AnEmptySaltHashesThePasswordAlone) {
    EXPECT_TRUE(Make(Hash("", kPlainSecret))->Authenticate("u", "secret"));
}

TEST_F(Authentication, UpperCaseHashDigitsAreAccepted) {
    EXPECT_TRUE(Make(Hash("1234", "5CD40D143B80FF1ACB086F6B8B9FC204650F3EB7"))->Authenticate("u", "secret"));
}

TEST_F(Authentication, BadMethodsAndHashesAreRefused) {
    EXPECT_EQ(Error(Hash("1", kPlainSecret, "SHA1")), "Unknown hash method: 'SHA1', only sha1 and crypt are supported");
    EXPECT_EQ(Error(Hash("1", kPlainSecret, "md5")), "Unknown hash method: 'md5', only sha1 and crypt are supported");
    EXPECT_EQ(Error(Hash("1", kPlainSecret, "")), "Unknown hash method: '', only sha1 and crypt are supported");
    const std::string digits39(kPlainSecret, 39);
    EXPECT_EQ(Error(Hash("1", digits39)),
              "Invalid hash value: '" + digits39 + "', must be a string of 40 hex chars");
    EXPECT_EQ(Error(Hash("1", std::string(kPlainSecret) + "0")),
              "Invalid hash value: '" + std::string(kPlainSecret) + "0', must be a string of 40 hex chars");
    const std::string notHex = "g" + std::string(kPlainSecret + 1);
    EXPECT_EQ(Error(Hash("1", notHex)), "Invalid hash value: '" + notHex + "', must be a string of 40 hex chars");
}

TEST_F(Authentication, CryptHashesCheckThePasswordAndOnlyStrongMethodsAreRead) {
    const std::string yescrypt = CryptHash("two words");
    CAuthenticationPtr crypt = Make(Hash("", yescrypt, "crypt"));
    EXPECT_TRUE(crypt->Authenticate("u", "two words"));
    EXPECT_FALSE(crypt->Authenticate("u", "two"));
    const std::string md5 = "$1$saltsalt$9xy1btjgzLYfb7hivXtC//";
    EXPECT_EQ(Error(Hash("", md5, "crypt")), "Invalid hash value: '" + md5 +
                                                 "', must be a crypt string of yescrypt ($y$) or SHA512-CRYPT ($6$)");
    // A crypt string under the sha1 method is not taken for one.
    EXPECT_EQ(Error(Hash("", yescrypt)), "Invalid hash value: '" + yescrypt + "', must be a string of 40 hex chars");
}

TEST_F(Authentication, TheDemoUserLogsInWithItsPassword) {
    std::filesystem::create_directories(dir / "demo");
    std::filesystem::copy_file(std::string(OVRIN_SOURCE_DIR) + "/demo/mail/demo/user.xml", dir / "demo/user.xml");
    Config().SetValue("mail-directory", dir.Path());
    CUserXML user("demo");
    CXPathContext context(user);
    CAuthenticationPtr authentication =
        CAuthentication::Create(context.Eval("/user/pop3-server/authentication")->GetNodePtr());
    EXPECT_TRUE(authentication->Authenticate("demo", "demo"));
    EXPECT_FALSE(authentication->Authenticate("demo", "Demo"));
}
