// SPDX-License-Identifier: Apache-2.0
#include "connection/SecurePairing.h"
#include "connection/SecurePairingCPace.h"
#include "connection/SecurePairingMessages.h"
#include "platform/Json.h"

#include <gtest/gtest.h>

#include <functional>

using namespace kivo;
using namespace Qt::StringLiterals;
using Kind = SecurePairingError::Kind;
using State = SecurePairing::State;

namespace {

using Buffer = std::vector<unsigned char>;

Buffer hex(const char* text)
{
    const QByteArray bytes = QByteArray::fromHex(text);
    return {bytes.begin(), bytes.end()};
}

QByteArray toHex(const Buffer& v) { return QByteArray(reinterpret_cast<const char*>(v.data()), qsizetype(v.size())).toHex(); }
std::span<const unsigned char, 32> in32(const Buffer& v) { return std::span<const unsigned char>(v).first<32>(); }
std::span<unsigned char, 32> out32(Buffer& v) { return std::span<unsigned char>(v).first<32>(); }

std::optional<Kind> thrownBy(const std::function<void()>& call)
{
    try {
        call();
    } catch (const SecurePairingError& e) {
        return e.kind();
    }
    return std::nullopt;
}

const QString kCode = u"042817"_s;
const QByteArray kBinding = SecurePairing::channelBinding("source certificate", "destination certificate");

// Both ends up to the point where each holds the other's confirmation.
struct Exchange {
    SecurePairing source;
    SecurePairing destination;
    QByteArray sourceConfirmation;
    QByteArray destinationConfirmation;

    explicit Exchange(const QString& destinationCode = kCode, const QByteArray& destinationBinding = kBinding,
                      DeviceRole destinationRole = DeviceRole::destination)
        : source(DeviceRole::source, kCode, kBinding), destination(destinationRole, destinationCode, destinationBinding)
    {
        const QByteArray destinationShare = destination.start();
        const QByteArray sourceShare = source.start();
        sourceConfirmation = source.receivePeerShare(destinationShare, destination.nonce());
        destinationConfirmation = destination.receivePeerShare(sourceShare, source.nonce());
    }
};

// Both ends through the whole exchange; whether the source accepted the
// destination, and the destination the source.
std::pair<bool, bool> agree(SecurePairing& source, SecurePairing& destination)
{
    const QByteArray destinationShare = destination.start(), sourceShare = source.start();
    const QByteArray sourceConfirmation = source.receivePeerShare(destinationShare, destination.nonce());
    const QByteArray destinationConfirmation = destination.receivePeerShare(sourceShare, source.nonce());
    return {!thrownBy([&] { source.receivePeerConfirmation(destinationConfirmation); }),
            !thrownBy([&] { destination.receivePeerConfirmation(sourceConfirmation); })};
}

} // namespace

// The draft's published vectors (ristretto255, SHA-512) pin the generator
// string and its padding, the group map, the scalar multiplication and the key
// hash with its initiator-first transcript.
TEST(SecurePairingCPace, ReproducesThePublishedTestVectors)
{
    ASSERT_TRUE(cpace::initialise());
    const Buffer sid = hex("7e4b4791d6a8ef019b936c79fb7f2c57");
    const Buffer ya = hex("da3d23700a9e5699258aef94dc060dfda5ebb61f02a5ea77fad53f4ff0976d08");
    const Buffer yb = hex("d2316b454718c35362d83d69df6320f38578ed5984651435e2949762d900b80d");
    Buffer g(32), shareA(32), shareB(32), kA(32), kB(32), isk(64);

    cpace::calculateGenerator(hex("50617373776f7264"), hex("0b415f696e69746961746f720b425f726573706f6e646572"), sid,
                              out32(g));
    EXPECT_EQ(toHex(g), "222b6b195fe84b1652badb6f6a3ae3d24341e7306967f0b8115b40d5698c7e56");
    ASSERT_TRUE(cpace::scalarMultVfy(in32(ya), in32(g), out32(shareA)));
    ASSERT_TRUE(cpace::scalarMultVfy(in32(yb), in32(g), out32(shareB)));
    EXPECT_EQ(toHex(shareA), "d6bac480f2c386c394efc7c47adb9925dcd2630b64f240c50f8d0eec482b9157");
    EXPECT_EQ(toHex(shareB), "3ea7e0b19560d7c0b0f5734f63b955286dfa8232b5ebe63324e2d9e7433f7258");
    ASSERT_TRUE(cpace::scalarMultVfy(in32(ya), in32(shareB), out32(kA)));
    ASSERT_TRUE(cpace::scalarMultVfy(in32(yb), in32(shareA), out32(kB)));
    EXPECT_EQ(toHex(kA), "80b69a8a76457ab6a4d7f887a4bf6b55a2f80ac19c333f917a05fc9887c8b40f");
    EXPECT_EQ(kA, kB);

    const Buffer transcript = cpace::transcript(shareA, hex("414461"), shareB, hex("414462"));
    cpace::intermediateSessionKey(sid, in32(kA), transcript, std::span<unsigned char, 64>(isk));
    EXPECT_EQ(toHex(isk), "b69effbf61b51d56401c0f65601abe428de8206feaaf0e32198896dcae7b35cd"
                          "2b38950a39dfd5d4a79164614c2984f7daa460b588c1e80c3fa2068af7900447");
}

TEST(SecurePairing, BothEndsDeriveTheSame32ByteKeyOnlyAfterEachConfirmationVerifies)
{
    Exchange run;
    EXPECT_EQ(run.source.sessionKey(), std::nullopt);
    EXPECT_NE(run.sourceConfirmation, run.destinationConfirmation) << "each role proves itself differently";
    run.destination.receivePeerConfirmation(run.sourceConfirmation);
    run.source.receivePeerConfirmation(run.destinationConfirmation);
    ASSERT_TRUE(run.source.sessionKey().has_value());
    EXPECT_EQ(run.source.sessionKey()->size(), 32);
    EXPECT_EQ(run.source.sessionKey(), run.destination.sessionKey());
}

TEST(SecurePairing, AnyDifferenceBetweenTheEndsFailsBothConfirmations)
{
    struct Case {
        const char* name;
        QString code;
        QByteArray binding;
        DeviceRole role;
    };
    const Case cases[] = {
        {"one digit off", u"042818"_s, kBinding, DeviceRole::destination},
        // A relay shows its own certificate to each end, so each end binds to another pair.
        {"relay in the middle", kCode, SecurePairing::channelBinding("relay certificate", "destination certificate"),
         DeviceRole::destination},
        {"certificates in the other order", kCode,
         SecurePairing::channelBinding("destination certificate", "source certificate"), DeviceRole::destination},
        {"both ends acting as source", kCode, kBinding, DeviceRole::source},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Exchange run(c.code, c.binding, c.role);
        EXPECT_EQ(thrownBy([&] { run.destination.receivePeerConfirmation(run.sourceConfirmation); }),
                  Kind::confirmationMismatch);
        EXPECT_EQ(thrownBy([&] { run.source.receivePeerConfirmation(run.destinationConfirmation); }),
                  Kind::confirmationMismatch);
        EXPECT_EQ(run.source.sessionKey(), std::nullopt);
        EXPECT_EQ(run.destination.sessionKey(), std::nullopt);
    }
}

TEST(SecurePairing, HostileSharesEndTheAttempt)
{
    using Forge = std::function<QByteArray(const QByteArray& ours, QByteArray genuine)>;
    const std::pair<Forge, Kind> cases[] = {
        {[](auto&, auto genuine) { return genuine.left(31); }, Kind::malformedShare},
        {[](auto&, auto) { return QByteArray(32, '\0'); }, Kind::identityShare},
        // Not canonical: the field prime itself, unreduced; and the draft's invalid point.
        {[](auto&, auto) { return QByteArray::fromHex("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"); },
         Kind::malformedShare},
        {[](auto&, auto) { return QByteArray::fromHex("2b3c6b8c4f3800e7aef6864025b4ed79bd599117e427c41bd47d93d654b4a51c"); },
         Kind::malformedShare},
        {[](auto&, auto genuine) { genuine[0] = char(genuine[0] ^ 1); return genuine; }, Kind::malformedShare},
        {[](auto& ours, auto) { return ours; }, Kind::reflectedShare},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        SecurePairing source(DeviceRole::source, kCode, kBinding);
        SecurePairing destination(DeviceRole::destination, kCode, kBinding);
        const QByteArray ours = source.start();
        const QByteArray genuine = destination.start();
        EXPECT_EQ(thrownBy([&] { source.receivePeerShare(cases[i].first(ours, genuine), destination.nonce()); }),
                  cases[i].second);
        EXPECT_EQ(source.state(), State::failed);
        // The attempt is over: not even the genuine share is taken now.
        EXPECT_EQ(thrownBy([&] { source.receivePeerShare(genuine, destination.nonce()); }), Kind::unexpectedMessage);
    }
}

TEST(SecurePairing, TamperedConfirmationsAreRefusedForGood)
{
    using Forge = std::function<QByteArray(const Exchange&)>;
    const std::pair<Forge, Kind> cases[] = {
        {[](const Exchange& r) { QByteArray b = r.sourceConfirmation; b[31] = char(b[31] ^ 0x80); return b; },
         Kind::confirmationMismatch},
        {[](const Exchange& r) { return r.destinationConfirmation; }, Kind::confirmationMismatch},
        {[](const Exchange& r) { return r.sourceConfirmation.left(16); }, Kind::malformedConfirmation},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        Exchange run;
        EXPECT_EQ(thrownBy([&] { run.destination.receivePeerConfirmation(cases[i].first(run)); }), cases[i].second);
        EXPECT_EQ(thrownBy([&] { run.destination.receivePeerConfirmation(run.sourceConfirmation); }),
                  Kind::unexpectedMessage);
        EXPECT_EQ(run.destination.sessionKey(), std::nullopt);
    }
}

// Fresh scalars and nonces on both sides: two attempts over the same certificates
// and code agree on other keys and names, and nothing of the first passes in the second.
TEST(SecurePairing, EachAttemptIsBoundToBothSidesNonces)
{
    Exchange first, second;
    first.destination.receivePeerConfirmation(first.sourceConfirmation);
    first.source.receivePeerConfirmation(first.destinationConfirmation);
    ASSERT_TRUE(first.source.sessionID().has_value());
    EXPECT_EQ(first.source.sessionID(), first.destination.sessionID());
    EXPECT_EQ(first.source.sessionID()->size(), SecurePairing::kSessionIDBytes);
    EXPECT_NE(first.sourceConfirmation, second.sourceConfirmation);
    // The first attempt's confirmations are worthless in the second.
    EXPECT_EQ(thrownBy([&] { second.source.receivePeerConfirmation(first.destinationConfirmation); }),
              Kind::confirmationMismatch);
    EXPECT_EQ(thrownBy([&] { second.destination.receivePeerConfirmation(first.sourceConfirmation); }),
              Kind::confirmationMismatch);
    Exchange third;
    third.destination.receivePeerConfirmation(third.sourceConfirmation);
    EXPECT_NE(third.destination.sessionKey(), first.destination.sessionKey());
    EXPECT_NE(third.destination.sessionID(), first.destination.sessionID());

    // The same share under another nonce is another attempt: the peer's
    // confirmation, made under the nonce it sent, does not verify.
    SecurePairing source(DeviceRole::source, kCode, kBinding), destination(DeviceRole::destination, kCode, kBinding);
    const QByteArray destinationShare = destination.start(), sourceShare = source.start();
    source.receivePeerShare(destinationShare, QByteArray(SecurePairing::kNonceBytes, '\x42'));
    const QByteArray destinationConfirmation = destination.receivePeerShare(sourceShare, source.nonce());
    EXPECT_EQ(thrownBy([&] { source.receivePeerConfirmation(destinationConfirmation); }), Kind::confirmationMismatch);

    // A nonce of another size, or our own sent back, ends the attempt at once.
    const std::pair<std::function<QByteArray(const SecurePairing&)>, Kind> nonces[] = {
        {[](const SecurePairing&) { return QByteArray(SecurePairing::kNonceBytes - 1, 'n'); }, Kind::malformedShare},
        {[](const SecurePairing& ours) { return ours.nonce(); }, Kind::reflectedShare},
    };
    for (const auto& [nonceOf, kind] : nonces) {
        SecurePairing ours(DeviceRole::source, kCode, kBinding), theirs(DeviceRole::destination, kCode, kBinding);
        ours.start();
        EXPECT_EQ(thrownBy([&] { ours.receivePeerShare(theirs.start(), nonceOf(ours)); }), kind);
    }
}

TEST(SecurePairing, StepsOutOfOrderAreRefused)
{
    SecurePairing peer(DeviceRole::source, kCode, kBinding);
    const QByteArray share = peer.start(), tag(32, 'x');
    const std::function<void(SecurePairing&)> cases[] = {
        [&](SecurePairing& p) { p.receivePeerConfirmation(tag); },
        [&](SecurePairing& p) { p.receivePeerShare(share, peer.nonce()); },
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        SecurePairing destination(DeviceRole::destination, kCode, kBinding);
        EXPECT_EQ(thrownBy([&] { cases[i](destination); }), Kind::unexpectedMessage);
        EXPECT_EQ(destination.state(), State::failed);
    }

    // A peer that keeps talking after pairing loses the key it had.
    Exchange run;
    run.destination.receivePeerConfirmation(run.sourceConfirmation);
    EXPECT_EQ(thrownBy([&] { run.destination.receivePeerConfirmation(run.sourceConfirmation); }), Kind::unexpectedMessage);
    EXPECT_EQ(run.destination.sessionKey(), std::nullopt);
}

TEST(SecurePairing, TakesOnlySixAsciiDigitsAndABindingOfBothCertificates)
{
    for (const QString& code : {u"04281"_s, u"0428177"_s, u"04281a"_s, u"٠٤٢٨١٧"_s /* Arabic-Indic digits */}) {
        SCOPED_TRACE(code.toStdString());
        EXPECT_EQ(thrownBy([&] { SecurePairing(DeviceRole::source, code, kBinding); }), Kind::invalidCode);
    }
    for (qsizetype size : {31, 33})
        EXPECT_EQ(thrownBy([&] { SecurePairing(DeviceRole::source, kCode, QByteArray(size, 'b')); }),
                  Kind::invalidChannelBinding);

    // The binding depends on both certificates, their order and their boundary.
    const QByteArray binding = SecurePairing::channelBinding("AB", "C");
    EXPECT_NE(binding, SecurePairing::channelBinding("C", "AB"));
    EXPECT_NE(binding, SecurePairing::channelBinding("A", "BC"));
    EXPECT_EQ(thrownBy([] { SecurePairing::channelBinding({}, "C"); }), Kind::invalidChannelBinding);
    EXPECT_EQ(thrownBy([] { SecurePairing::channelBinding("AB", {}); }), Kind::invalidChannelBinding);
}

TEST(SecurePairingMessages, RoundTripAndRefuseMalformedBytes)
{
    const PairingShare share{1, QByteArray(32, '\x5a'), QByteArray(32, '\x11')};
    EXPECT_EQ(PairingShare::fromJson(share.toJson()), share);

    const QByteArray good = QByteArray(32, '\x5a').toBase64();
    const QByteArray nonce = R"("nonce":")" + QByteArray(32, '\x11').toBase64() + R"(",)";
    for (const QByteArray& value : {QByteArray("5"), QByteArray("\"!!!!\""), '"' + good.chopped(1) + '"',
                                    '"' + QByteArray(31, 'x').toBase64() + '"'}) {
        SCOPED_TRACE(value.toStdString());
        EXPECT_THROW(PairingShare::fromJson(json::parseObject(R"({"version":1,)" + nonce + R"("share":)" + value + '}')),
                     DecodingError);
        EXPECT_THROW(PairingShare::fromJson(json::parseObject(R"({"version":1,"share":")" + good + R"(","nonce":)" + value + '}')),
                     DecodingError);
        EXPECT_THROW(PairingConfirmation::fromJson(json::parseObject(R"({"confirmation":)" + value + '}')), DecodingError);
    }
    EXPECT_THROW(PairingShare::fromJson(json::parseObject(R"({)" + nonce + R"("share":")" + good + "\"}")), DecodingError);
    EXPECT_THROW(PairingShare::fromJson(json::parseObject(R"({"version":1,"share":")" + good + "\"}")), DecodingError);
    // Another version of the exchange is named as such, not left to fail as a wrong code.
    for (const char* version : {"0", "2", "4294967295"}) {
        SCOPED_TRACE(version);
        try {
            PairingShare::fromJson(json::parseObject(QByteArray(R"({"version":)") + version + R"(,"share":")" + good + "\"}"));
            ADD_FAILURE() << "accepted";
        } catch (const DecodingError& e) {
            EXPECT_TRUE(e.description().contains(QStringLiteral("Unsupported pairing version"))) << e.description().toStdString();
        }
    }
}

TEST(SharedSecretPairing, OnlyTheSameSecretAgreesAndNeverWithACode)
{
    using Secret = SecurePairing::SharedSecret;
    const QString secret = u"correct horse battery staple"_s;
    SecurePairing source(DeviceRole::source, Secret{secret}, kBinding);
    SecurePairing destination(DeviceRole::destination, Secret{secret}, kBinding);
    EXPECT_EQ(agree(source, destination), std::make_pair(true, true));
    EXPECT_EQ(source.sessionKey(), destination.sessionKey());

    SecurePairing other(DeviceRole::source, Secret{secret}, kBinding);
    SecurePairing wrong(DeviceRole::destination, Secret{secret + u'.'}, kBinding);
    EXPECT_EQ(agree(other, wrong), std::make_pair(false, false));

    // A secret made of digits is still not the code of the same digits.
    SecurePairing digits(DeviceRole::source, Secret{u"1234561234561234"_s}, kBinding);
    SecurePairing typed(DeviceRole::destination, u"123456"_s, kBinding);
    EXPECT_FALSE(agree(digits, typed).first);
    EXPECT_THROW(SecurePairing(DeviceRole::source, Secret{u"fifteen chars!!"_s}, kBinding), SecurePairingError);
}

// Either side's names are shown to the other's user as they arrive: only printable text of a
// sane length. A confirmation without them, as earlier destinations send it, is still one.
TEST(SecurePairingMessages, EitherSidesIdentityIsCheckedBeforeItIsShown)
{
    PairingConfirmation proof{QByteArray(32, '\xa5'), PairingIdentity{u"Ann’s studio 🎧"_s, u"ann"_s, u"x86_64"_s}};
    EXPECT_EQ(PairingConfirmation::fromJson(proof.toJson()), proof);
    const PairingConfirmation bare{QByteArray(32, '\xa5'), std::nullopt};
    EXPECT_EQ(PairingConfirmation::fromJson(bare.toJson()), bare);
    EXPECT_EQ(PairingConfirmation::fromJson(json::parseObject(R"({"confirmation":")" + QByteArray(32, '\xa5').toBase64() + "\"}")),
              bare);

    const std::pair<const char*, QJsonValue> refused[] = {
        {"empty host", QJsonObject{{u"hostname"_s, u""_s}, {u"username"_s, u"ann"_s}, {u"architecture"_s, u"x86_64"_s}}},
        {"overlong host", QJsonObject{{u"hostname"_s, QString(256, u'h')}, {u"username"_s, u"ann"_s}, {u"architecture"_s, u"x86_64"_s}}},
        {"escape in user", QJsonObject{{u"hostname"_s, u"h"_s}, {u"username"_s, u"ann\x1b[2J"_s}, {u"architecture"_s, u"x86_64"_s}}},
        {"right-to-left override", QJsonObject{{u"hostname"_s, u"h\u202Eexe"_s}, {u"username"_s, u"ann"_s}, {u"architecture"_s, u"x"_s}}},
        {"number", QJsonObject{{u"hostname"_s, 7}, {u"username"_s, u"ann"_s}, {u"architecture"_s, u"x86_64"_s}}},
        {"missing architecture", QJsonObject{{u"hostname"_s, u"h"_s}, {u"username"_s, u"ann"_s}}},
        {"not an object", QJsonValue(u"studio"_s)},
    };
    for (const auto& [what, identity] : refused) {
        SCOPED_TRACE(what);
        QJsonObject o = bare.toJson();
        o.insert(u"identity"_s, identity);
        EXPECT_THROW(PairingConfirmation::fromJson(o), DecodingError);
    }
}
