#include "transfer/DestinationFixture.h"
#include "transfer/ResumeState.h"

#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

class DestinationIntegrity : public DestinationFixture {
protected:
    // A second run of the same transfer over a fresh connection, as after a restart.
    void restart()
    {
        m_engine.reset();
        peer.sent.clear();
        peer.inbox.clear();
        peer.connected = true;
    }
    void pushEnd()
    {
        peer.push(header(MessageType::verificationRequest));
        peer.push(header(MessageType::transferComplete));
    }
    QList<FileVerification> verified() const
    {
        const auto responses = peer.sentOfType(MessageType::verificationResponse);
        return responses.size() == 1 && responses[0].header.fileHashes ? *responses[0].header.fileHashes
                                                                        : QList<FileVerification>{};
    }
};

} // namespace

// Nothing to hash must not be a problem: an empty selection, the same migration again
// after it finished, and a resume after the source died while verification ran.
TEST_F(DestinationIntegrity, VerificationWithNothingToHashEndsCleanly)
{
    pushManifest();
    pushEnd();
    receive();
    EXPECT_FALSE(progress()->error());
    EXPECT_TRUE(progress()->isComplete());
    EXPECT_TRUE(verified().isEmpty());
}

TEST_F(DestinationIntegrity, AFinishedMigrationRunsAgainAndAResumeDuringVerificationFinishes)
{
    addItem(u"~/a.txt"_s, "alpha");
    addItem(u"~/empty"_s, "").mode = 0600;
    pushManifest();
    pushCategory(u"userFiles"_s);
    peer.push(header(MessageType::verificationRequest)); // the source dies waiting for the answer
    receive();
    ASSERT_EQ(verified().size(), 2);
    ASSERT_TRUE(ResumeState::load(transfers(), u"T-1"_s));

    // The source resumes: every file is done, only the end remains.
    restart();
    pushManifest();
    pushEnd();
    receive();
    EXPECT_FALSE(progress()->error()) << progress()->error()->toStdString();
    EXPECT_TRUE(progress()->isComplete());
    EXPECT_EQ(verified().size(), 2);
    EXPECT_FALSE(ResumeState::load(transfers(), u"T-1"_s));

    // The whole migration again, after it finished.
    restart();
    pushManifest();
    pushCategory(u"userFiles"_s);
    pushEnd();
    receive();
    EXPECT_FALSE(progress()->error()) << progress()->error()->toStdString();
    EXPECT_TRUE(progress()->isComplete());
    EXPECT_EQ(verified().size(), 2);
    EXPECT_EQ(readBytes(home() + u"/a.txt"_s), QByteArray("alpha"));
}
