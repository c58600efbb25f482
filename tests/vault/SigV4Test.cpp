// SPDX-License-Identifier: Apache-2.0
#include "vault/AssumeRole.h"
#include "vault/SigV4.h"

#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::Literals::StringLiterals;

namespace {

const QByteArray kKeyID = "AKIDEXAMPLE";
const QByteArray kSecret = "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY";
const QDateTime kTime(QDate(2015, 8, 30), QTime(12, 36, 0), Qt::UTC);

} // namespace

// The published signing examples: the same request and key must give the same signature.
TEST(SigV4, PublishedExamplesGiveTheirSignatures)
{
    const sigv4::Pairs vanilla = {{"Host", "example.amazonaws.com"}, {"X-Amz-Date", "20150830T123600Z"}};
    const struct {
        const char* name;
        sigv4::Request request;
        const char* service;
        const char* signedHeaders;
        const char* signature;
    } cases[] = {
        {"get-vanilla", {"GET", "/", {}, vanilla, {}}, "service", "host;x-amz-date",
         "5fa00fa31553b73ebf1942676e86291e8372ff2a2260956d9b8aae1d763fbf31"},
        {"post-vanilla", {"POST", "/", {}, vanilla, {}}, "service", "host;x-amz-date",
         "5da7c1a2acd57cee7505fc6676e4e544621c30862966e37dddb68e92efbe5d6b"},
        {"get-vanilla-query-order-key-case", {"GET", "/", {{"Param2", "value2"}, {"Param1", "value1"}}, vanilla, {}},
         "service", "host;x-amz-date", "b97d918cfa904a5beff61c982a1b6f458b799221646efd99d3219ec94cdf2500"},
        {"post-x-www-form-urlencoded",
         {"POST", "/", {}, sigv4::Pairs{{"Content-Type", "application/x-www-form-urlencoded"}} + vanilla, "Param1=value1"},
         "service", "content-type;host;x-amz-date", "ff11897932ad3f4e8b18135d722051e5ac45fc38421b1da7b9d196a0fe09473a"},
        {"iam ListUsers",
         {"GET", "/", {{"Action", "ListUsers"}, {"Version", "2010-05-08"}},
          {{"Content-Type", "application/x-www-form-urlencoded; charset=utf-8"}, {"Host", "iam.amazonaws.com"},
           {"X-Amz-Date", "20150830T123600Z"}},
          {}},
         "iam", "content-type;host;x-amz-date", "5d672d79c15b13162d9279b0855cfba6789a8edb4c82c400e06b5924a6f2b5d7"},
    };
    for (const auto& c : cases) {
        const sigv4::Scope scope{kTime, u"us-east-1"_s, QString::fromLatin1(c.service)};
        EXPECT_EQ(sigv4::authorization(c.request, kKeyID, kSecret, scope),
                  "AWS4-HMAC-SHA256 Credential=AKIDEXAMPLE/20150830/us-east-1/" + QByteArray(c.service)
                      + "/aws4_request, SignedHeaders=" + c.signedHeaders + ", Signature=" + c.signature)
            << c.name;
    }
    // The derived key of the published derivation example.
    EXPECT_EQ(sigv4::signingKey(kSecret, {QDateTime(QDate(2012, 2, 15), QTime(0, 0), Qt::UTC), u"us-east-1"_s, u"iam"_s}).toHex(),
              "f4780e2d9f65fa895f9c67b32ce1baf0b0d8a43505a000a1a9e090d414db404d");
}

TEST(SigV4, CanonicalFormEncodesSortsAndFoldsHeaders)
{
    const sigv4::Request request{"GET", "/", {{"b", "x y"}, {"a", "~-._/"}}, {{"X-B", "  two   spaces "}, {"x-a", "1"}, {"X-A", "2"}}, {}};
    QByteArray signedHeaders;
    const QByteArray canonical = sigv4::canonicalRequest(request, &signedHeaders);
    EXPECT_EQ(signedHeaders, "x-a;x-b");
    EXPECT_EQ(canonical, "GET\n/\na=~-._%2F&b=x%20y\nx-a:1,2\nx-b:two spaces\n\nx-a;x-b\n"
                         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(AssumeRole, TheRequestIsASignedFormAndAnswersAreCheckedBeforeUse)
{
    sts::RoleRequest role{QUrl(u"http://127.0.0.1:8000/"_s), {}, u"arn:aws:iam:::role/vault"_s, u"kivo"_s, 3600};
    const sigv4::Request sent = sts::signedRequest(role, {u"AK"_s, u"SECRET"_s, u"TOKEN"_s}, kTime);
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.body, "Action=AssumeRole&DurationSeconds=3600&RoleArn=arn%3Aaws%3Aiam%3A%3A%3Arole%2Fvault"
                         "&RoleSessionName=kivo&Version=2011-06-15");
    QByteArray authorization;
    for (const auto& [name, value] : sent.headers) {
        if (name == "Authorization")
            authorization = value;
        EXPECT_FALSE(value.contains("SECRET")) << name.constData();
    }
    EXPECT_TRUE(authorization.startsWith("AWS4-HMAC-SHA256 Credential=AK/20150830/us-east-1/sts/aws4_request, "
                                         "SignedHeaders=content-type;host;x-amz-date;x-amz-security-token, Signature="))
        << authorization.constData();

    // An answer as the token service gives it (recorded), and ones that must not be used.
    const QByteArray good = R"(<AssumeRoleResponse xmlns="https://sts.amazonaws.com/doc/2011-06-15/"><AssumeRoleResult>
        <AssumedRoleUser><Arn>arn:aws:sts:::assumed-role/vault/kivo</Arn></AssumedRoleUser><Credentials>
        <AccessKeyId>0555b35654ad1656d804</AccessKeyId><SecretAccessKey>h7GhxuBLTrlhVUyxSPUKUV8r/2EI4ngqJxD7iBdBYLhwluN30JaT3Q==</SecretAccessKey>
        <SessionToken>ZJ0L2uVJ9FwAH2yYOfH0pnMZ5FO2sHfgh4Kw5Gp2HYJ8hN+Dq8Ns6I3CE</SessionToken>
        <Expiration>2026-12-07T15:00:00Z</Expiration></Credentials></AssumeRoleResult></AssumeRoleResponse>)";
    const sts::RoleAnswer answer = sts::parseAnswer(good);
    ASSERT_TRUE(answer.keys);
    EXPECT_EQ(answer.keys->accessKeyID, u"0555b35654ad1656d804"_s);
    EXPECT_EQ(answer.keys->sessionToken, u"ZJ0L2uVJ9FwAH2yYOfH0pnMZ5FO2sHfgh4Kw5Gp2HYJ8hN+Dq8Ns6I3CE"_s);
    EXPECT_EQ(answer.expires, QDateTime(QDate(2026, 12, 7), QTime(15, 0), Qt::UTC));

    const sts::RoleAnswer refused = sts::parseAnswer(
        R"(<ErrorResponse><Error><Type>Sender</Type><Code>AccessDenied</Code><Message>not allowed</Message></Error></ErrorResponse>)");
    EXPECT_FALSE(refused.keys);
    EXPECT_EQ(refused.errorCode, u"AccessDenied"_s);
    EXPECT_EQ(refused.errorMessage, u"not allowed"_s);
    QByteArray spaced = good;
    spaced.replace("0555b35654ad1656d804", "0555b356 54ad1656d804");
    for (const QByteArray& bad : {QByteArray(), QByteArray("<a>"), QByteArray(good).replace("<SessionToken>", "<Other>"), spaced,
                                  QByteArray(good).left(good.size() - 30)})
        EXPECT_FALSE(sts::parseAnswer(bad).keys) << bad.constData();
}
