#include "connection/SecurePairing.h"
#include "connection/SecurePairingCPace.h"
#include "connection/SecurePairingMessages.h"
#include "platform/Json.h"

#include <gtest/gtest.h>

#include <functional>

using namespace kivo;
using namespace Qt::StringLiterals;
using Kind = SecurePairingError::Kind;

namespace {

std::vector<unsigned char> hex(const char* text)
{
    const QByteArray bytes = QByteArray::fromHex(text);
    return {bytes.begin(), bytes.end()};
}

QByteArray bytes(const std::vector<unsigned char>& v)
{
    return QByteArray(reinterpret_cast<const char*>(v.data()), qsizetype(v.size()));
}

template <std::size_t N = cpace::kPointBytes>
std::span<const unsigned char, N> fixed(const std::vector<unsigned char>& v)
{
    return std::span<const unsigned char>(v).first<N>();
}

// Runs `call` and returns the kind it threw, or nullopt.
std::optional<Kind> thrownBy(const std::function<void()>& call)
{
    try {
        call();
    } catch (const SecurePairingError& e) {
        return e.kind();
    }
    return std::nullopt;
}

const QByteArray kBinding = SecurePairing::channelBinding("source certificate", "destination certificate");

// Both ends up to the point where each holds the other's confirmation.
struct Exchange {
    SecurePairing source;
    SecurePairing destination;
    QByteArray sourceConfirmation;
    QByteArray destinationConfirmation;

    Exchange(const QString& sourceCode, const QString& destinationCode, const QByteArray& sourceBinding = kBinding,
             const QByteArray& destinationBinding = kBinding,
             DeviceRole destinationRole = DeviceRole::destination)
        : source(DeviceRole::source, sourceCode, sourceBinding),
          destination(destinationRole, destinationCode, destinationBinding)
    {
        const QByteArray destinationShare = destination.start();
        const QByteArray sourceShare = source.start();
        sourceConfirmation = source.receivePeerShare(destinationShare);
        destinationConfirmation = destination.receivePeerShare(sourceShare);
    }
};

} // namespace

// The draft's published vectors for ristretto255 with SHA-512 pin the
// generator string, the padding, the group map, the scalar multiplication
// and the key hash with its initiator-first transcript.
TEST(SecurePairingCPace, ReproducesThePublishedTestVectors)
{
    ASSERT_TRUE(cpace::initialise());
    const auto prs = hex("50617373776f7264"); // "Password"
    const auto ci = hex("0b415f696e69746961746f720b425f726573706f6e646572");
    const auto sid = hex("7e4b4791d6a8ef019b936c79fb7f2c57");
    const auto ya = hex("da3d23700a9e5699258aef94dc060dfda5ebb61f02a5ea77fad53f4ff0976d08");
    const auto yb = hex("d2316b454718c35362d83d69df6320f38578ed5984651435e2949762d900b80d");

    std::vector<unsigned char> g(32), shareA(32), shareB(32), kA(32), kB(32), isk(64);
    cpace::calculateGenerator(prs, ci, sid, std::span<unsigned char, 32>(g));
    EXPECT_EQ(bytes(g).toHex(), "222b6b195fe84b1652badb6f6a3ae3d24341e7306967f0b8115b40d5698c7e56");

    ASSERT_TRUE(cpace::scalarMultVfy(fixed(ya), fixed(g), std::span<unsigned char, 32>(shareA)));
    ASSERT_TRUE(cpace::scalarMultVfy(fixed(yb), fixed(g), std::span<unsigned char, 32>(shareB)));
    EXPECT_EQ(bytes(shareA).toHex(), "d6bac480f2c386c394efc7c47adb9925dcd2630b64f240c50f8d0eec482b9157");
    EXPECT_EQ(bytes(shareB).toHex(), "3ea7e0b19560d7c0b0f5734f63b955286dfa8232b5ebe63324e2d9e7433f7258");

    ASSERT_TRUE(cpace::scalarMultVfy(fixed(ya), fixed(shareB), std::span<unsigned char, 32>(kA)));
    ASSERT_TRUE(cpace::scalarMultVfy(fixed(yb), fixed(shareA), std::span<unsigned char, 32>(kB)));
    EXPECT_EQ(bytes(kA).toHex(), "80b69a8a76457ab6a4d7f887a4bf6b55a2f80ac19c333f917a05fc9887c8b40f");
    EXPECT_EQ(kA, kB);

    const std::vector<unsigned char> ada{'A', 'D', 'a'}, adb{'A', 'D', 'b'};
    const auto transcript = cpace::transcript(shareA, ada, shareB, adb);
    EXPECT_EQ(bytes(transcript).toHex(), "20d6bac480f2c386c394efc7c47adb9925dcd2630b64f240c50f8d0eec482b915703414461"
                                         "203ea7e0b19560d7c0b0f5734f63b955286dfa8232b5ebe63324e2d9e7433f725803414462");
    cpace::intermediateSessionKey(sid, fixed(kA), transcript, std::span<unsigned char, 64>(isk));
    EXPECT_EQ(bytes(isk).toHex(), "b69effbf61b51d56401c0f65601abe428de8206feaaf0e32198896dcae7b35cd"
                                  "2b38950a39dfd5d4a79164614c2984f7daa460b588c1e80c3fa2068af7900447");
}

TEST(SecurePairingCPace, ScalarMultiplicationRefusesInvalidPointsAndTheNeutralElement)
{
    ASSERT_TRUE(cpace::initialise());
    const auto s = hex("7cd0e075fa7955ba52c02759a6c90dbbfc10e6d40aea8d283e407d88cf538a05");
    std::vector<unsigned char> out(32, 0xaa);
    ASSERT_TRUE(cpace::scalarMultVfy(fixed(s), fixed(hex("2c3c6b8c4f3800e7aef6864025b4ed79bd599117e427c41bd47d93d654b4a51c")),
                                     std::span<unsigned char, 32>(out)));
    EXPECT_EQ(bytes(out).toHex(), "7c13645fe790a468f62c39beb7388e541d8405d1ade69d1778c5fe3e7f6b600e");

    for (const char* point : {"2b3c6b8c4f3800e7aef6864025b4ed79bd599117e427c41bd47d93d654b4a51c", // the draft's invalid one
                              "0000000000000000000000000000000000000000000000000000000000000000", // neutral element
                              "0100000000000000000000000000000000000000000000000000000000000000", // negative field element
                              "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", // p itself, not reduced
                              "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"}) {
        SCOPED_TRACE(point);
        out.assign(32, 0xaa);
        EXPECT_FALSE(cpace::scalarMultVfy(fixed(s), fixed(hex(point)), std::span<unsigned char, 32>(out)));
        EXPECT_EQ(out, std::vector<unsigned char>(32, 0)) << "no partial result is left behind";
    }
}

TEST(SecurePairing, BothEndsDeriveTheSame32ByteKeyOnlyAfterEachConfirmationVerifies)
{
    Exchange run(u"042817"_s, u"042817"_s);
    EXPECT_EQ(run.source.sessionKey(), std::nullopt);
    EXPECT_NE(run.sourceConfirmation, run.destinationConfirmation) << "each role proves itself differently";

    run.destination.receivePeerConfirmation(run.sourceConfirmation);
    run.source.receivePeerConfirmation(run.destinationConfirmation);
    ASSERT_TRUE(run.source.sessionKey().has_value());
    EXPECT_EQ(run.source.sessionKey()->size(), 32);
    EXPECT_EQ(run.source.sessionKey(), run.destination.sessionKey());
    EXPECT_EQ(run.source.state(), SecurePairing::State::confirmed);

    // Fresh scalars: the same code and channel never give the same key twice.
    Exchange again(u"042817"_s, u"042817"_s);
    again.destination.receivePeerConfirmation(again.sourceConfirmation);
    EXPECT_NE(again.destination.sessionKey(), run.destination.sessionKey());
}

TEST(SecurePairing, AnyDifferenceBetweenTheEndsFailsBothConfirmations)
{
    const QByteArray sourceCert = "source certificate", destinationCert = "destination certificate";
    const QByteArray relayCert = "relay certificate";
    struct Case {
        const char* name;
        QString destinationCode;
        QByteArray destinationBinding;
        DeviceRole destinationRole;
    };
    const Case cases[] = {
        {"one digit off", u"042818"_s, kBinding, DeviceRole::destination},
        {"digits swapped", u"048217"_s, kBinding, DeviceRole::destination},
        // A relay shows its own certificate to each end, so each end binds to another pair.
        {"relay in the middle", u"042817"_s, SecurePairing::channelBinding(relayCert, destinationCert),
         DeviceRole::destination},
        {"certificates in the other order", u"042817"_s, SecurePairing::channelBinding(destinationCert, sourceCert),
         DeviceRole::destination},
        {"both ends acting as source", u"042817"_s, kBinding, DeviceRole::source},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Exchange run(u"042817"_s, c.destinationCode, SecurePairing::channelBinding(sourceCert, destinationCert),
                     c.destinationBinding, c.destinationRole);
        EXPECT_EQ(thrownBy([&] { run.destination.receivePeerConfirmation(run.sourceConfirmation); }),
                  Kind::confirmationMismatch);
        EXPECT_EQ(thrownBy([&] { run.source.receivePeerConfirmation(run.destinationConfirmation); }),
                  Kind::confirmationMismatch);
        EXPECT_EQ(run.source.sessionKey(), std::nullopt);
        EXPECT_EQ(run.destination.sessionKey(), std::nullopt);
        EXPECT_EQ(run.source.state(), SecurePairing::State::failed);
    }
}

TEST(SecurePairing, HostileSharesEndTheAttempt)
{
    struct Case {
        const char* name;
        std::function<QByteArray(const QByteArray& ourShare, const QByteArray& peerShare)> share;
        Kind expected;
    };
    const Case cases[] = {
        {"empty", [](auto&, auto&) { return QByteArray(); }, Kind::malformedShare},
        {"one byte short", [](auto&, auto& peer) { return peer.left(31); }, Kind::malformedShare},
        {"one byte long", [](auto&, auto& peer) { return peer + '\0'; }, Kind::malformedShare},
        {"neutral element", [](auto&, auto&) { return QByteArray(32, '\0'); }, Kind::identityShare},
        {"not canonical", [](auto&, auto&) { return QByteArray(32, '\xff'); }, Kind::malformedShare},
        {"not on the group", [](auto&, auto&) { return bytes(hex("2b3c6b8c4f3800e7aef6864025b4ed79bd599117e427c41bd47d93d654b4a51c")); },
         Kind::malformedShare},
        {"one bit flipped", [](auto&, auto& peer) { QByteArray b = peer; b[0] = char(b[0] ^ 1); return b; },
         Kind::malformedShare},
        {"our own share reflected", [](auto& ours, auto&) { return ours; }, Kind::reflectedShare},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SecurePairing source(DeviceRole::source, u"042817"_s, kBinding);
        SecurePairing destination(DeviceRole::destination, u"042817"_s, kBinding);
        const QByteArray ours = source.start();
        const QByteArray peer = destination.start();
        EXPECT_EQ(thrownBy([&] { source.receivePeerShare(c.share(ours, peer)); }), c.expected);
        EXPECT_EQ(source.state(), SecurePairing::State::failed);
        // The attempt is over: not even the genuine share is taken now.
        EXPECT_EQ(thrownBy([&] { source.receivePeerShare(peer); }), Kind::unexpectedMessage);
        EXPECT_EQ(source.sessionKey(), std::nullopt);
    }
}

TEST(SecurePairing, TamperedConfirmationsAreRefused)
{
    struct Case {
        const char* name;
        std::function<QByteArray(const Exchange&)> confirmation;
        Kind expected;
    };
    const Case cases[] = {
        {"one bit flipped", [](const Exchange& r) { QByteArray b = r.sourceConfirmation; b[31] = char(b[31] ^ 0x80); return b; },
         Kind::confirmationMismatch},
        {"the destination's own sent back", [](const Exchange& r) { return r.destinationConfirmation; },
         Kind::confirmationMismatch},
        {"all zeros", [](const Exchange&) { return QByteArray(32, '\0'); }, Kind::confirmationMismatch},
        {"truncated", [](const Exchange& r) { return r.sourceConfirmation.left(16); }, Kind::malformedConfirmation},
        {"too long", [](const Exchange& r) { return r.sourceConfirmation + r.sourceConfirmation; },
         Kind::malformedConfirmation},
        {"empty", [](const Exchange&) { return QByteArray(); }, Kind::malformedConfirmation},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Exchange run(u"042817"_s, u"042817"_s);
        EXPECT_EQ(thrownBy([&] { run.destination.receivePeerConfirmation(c.confirmation(run)); }), c.expected);
        EXPECT_EQ(run.destination.sessionKey(), std::nullopt);
        // A second try with the genuine confirmation is too late.
        EXPECT_EQ(thrownBy([&] { run.destination.receivePeerConfirmation(run.sourceConfirmation); }),
                  Kind::unexpectedMessage);
    }
}

TEST(SecurePairing, StepsOutOfOrderAreRefused)
{
    SecurePairing peer(DeviceRole::source, u"042817"_s, kBinding);
    const QByteArray share = peer.start();
    const QByteArray anyTag(32, 'x');
    struct Case {
        const char* name;
        std::function<void(SecurePairing&)> steps;
    };
    const Case cases[] = {
        {"confirmation before anything", [&](SecurePairing& p) { p.receivePeerConfirmation(anyTag); }},
        {"confirmation before the share", [&](SecurePairing& p) { p.start(); p.receivePeerConfirmation(anyTag); }},
        {"share before starting", [&](SecurePairing& p) { p.receivePeerShare(share); }},
        {"starting twice", [&](SecurePairing& p) { p.start(); p.start(); }},
        {"a second share", [&](SecurePairing& p) { p.start(); p.receivePeerShare(share); p.receivePeerShare(share); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SecurePairing destination(DeviceRole::destination, u"042817"_s, kBinding);
        EXPECT_EQ(thrownBy([&] { c.steps(destination); }), Kind::unexpectedMessage);
        EXPECT_EQ(destination.state(), SecurePairing::State::failed);
    }

    // Once confirmed, a further confirmation is out of order and withdraws nothing already agreed.
    Exchange run(u"042817"_s, u"042817"_s);
    run.destination.receivePeerConfirmation(run.sourceConfirmation);
    EXPECT_EQ(thrownBy([&] { run.destination.receivePeerConfirmation(run.sourceConfirmation); }),
              Kind::unexpectedMessage);
    EXPECT_EQ(run.destination.sessionKey(), std::nullopt) << "a peer that misbehaves after pairing gets nothing";
}

TEST(SecurePairing, TakesOnlySixAsciiDigitsAndA32ByteBinding)
{
    for (const QString& code : {u"04281"_s, u"0428177"_s, u""_s, u"04 817"_s, u"04281a"_s,
                                u"٠٤٢٨١٧"_s /* Arabic-Indic digits */, u"０４２８１７"_s /* full-width */}) {
        SCOPED_TRACE(code.toStdString());
        EXPECT_EQ(thrownBy([&] { SecurePairing(DeviceRole::source, code, kBinding); }), Kind::invalidCode);
    }
    for (qsizetype size : {0, 31, 33}) {
        SCOPED_TRACE(size);
        EXPECT_EQ(thrownBy([&] { SecurePairing(DeviceRole::source, u"042817"_s, QByteArray(size, 'b')); }),
                  Kind::invalidChannelBinding);
    }
}

TEST(SecurePairing, ChannelBindingDependsOnBothCertificatesTheirOrderAndTheirBoundary)
{
    const QByteArray binding = SecurePairing::channelBinding("AB", "C");
    EXPECT_EQ(binding.size(), 32);
    EXPECT_EQ(binding, SecurePairing::channelBinding("AB", "C"));
    EXPECT_NE(binding, SecurePairing::channelBinding("C", "AB"));
    EXPECT_NE(binding, SecurePairing::channelBinding("A", "BC"));
    EXPECT_NE(binding, SecurePairing::channelBinding("AB", "D"));
    EXPECT_EQ(thrownBy([] { SecurePairing::channelBinding({}, "C"); }), Kind::invalidChannelBinding);
    EXPECT_EQ(thrownBy([] { SecurePairing::channelBinding("AB", {}); }), Kind::invalidChannelBinding);
}

TEST(SecurePairingMessages, RoundTripAndRefuseMalformedFields)
{
    const PairingShare share{1, QByteArray(32, '\x5a')};
    EXPECT_EQ(PairingShare::fromJson(share.toJson()), share);
    const PairingConfirmation confirmation{QByteArray(32, '\xa5')};
    EXPECT_EQ(PairingConfirmation::fromJson(confirmation.toJson()), confirmation);

    const QString b64of32 = QString::fromLatin1(QByteArray(32, '\x5a').toBase64());
    struct Case {
        const char* name;
        QByteArray json;
    };
    const Case shares[] = {
        {"no share", R"({"version":1})"},
        {"no version", R"({"share":")" + b64of32.toLatin1() + R"("})"},
        {"version is text", R"({"version":"1","share":")" + b64of32.toLatin1() + R"("})"},
        {"version negative", R"({"version":-1,"share":")" + b64of32.toLatin1() + R"("})"},
        {"version fractional", R"({"version":1.5,"share":")" + b64of32.toLatin1() + R"("})"},
        {"share is a number", R"({"version":1,"share":5})"},
        {"share not Base64", R"({"version":1,"share":"!!!!"})"},
        {"share without padding", R"({"version":1,"share":")" + b64of32.chopped(1).toLatin1() + R"("})"},
        {"share of 31 bytes", R"({"version":1,"share":")" + QByteArray(31, 'x').toBase64() + R"("})"},
        {"share of 33 bytes", R"({"version":1,"share":")" + QByteArray(33, 'x').toBase64() + R"("})"},
    };
    for (const Case& c : shares) {
        SCOPED_TRACE(c.name);
        EXPECT_THROW(PairingShare::fromJson(json::parseObject(c.json)), DecodingError);
    }
    const Case confirmations[] = {
        {"missing", R"({})"},
        {"null", R"({"confirmation":null})"},
        {"line break inside", R"({"confirmation":")" + b64of32.left(20).toLatin1() + R"(\n)" + b64of32.mid(20).toLatin1() + R"("})"},
        {"16 bytes", R"({"confirmation":")" + QByteArray(16, 'x').toBase64() + R"("})"},
    };
    for (const Case& c : confirmations) {
        SCOPED_TRACE(c.name);
        EXPECT_THROW(PairingConfirmation::fromJson(json::parseObject(c.json)), DecodingError);
    }
}
