// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/FileBundle.h"
#include "transfer/FileHashScheme.h"
#include "transfer/FileHasher.h"
#include "transfer/HardLinkGroups.h"
#include "transfer/RequestWindow.h"
#include "transfer/ResumeState.h"
#include "transfer/ThrottleBudget.h"
#include "transfer/TransferEngine.h"
#include "transfer/Verification.h"

#include <QHash>
#include <QSet>

#include <exception>
#include <functional>

namespace kivo {

// The sending side: the manifest, then per category each file as acknowledged
// chunks, then verification. Keeps as many requests unanswered as the
// destination allows (one, stop-and-wait, when it announces nothing).
class SourceTransfer : public TransferEngine {
    Q_OBJECT
public:
    static constexpr int kMaxChunkAttempts = RequestWindow::kMaxChunkAttempts;

    // `homeFolder` is where this side keeps its own records.
    SourceTransfer(TransferConnection* connection, QString transferID, QString homeFolder, QObject* parent = nullptr);
    ~SourceTransfer() override;

    DeviceRole role() const override { return DeviceRole::source; }
    QCoro::Task<void> run() override;

    void setManifest(TransferManifest manifest);
    void setBandwidthCap(std::optional<int> megabitsPerSecond);
    const std::optional<ThrottleBudget>& throttle() const { return m_throttle; }
    void setClock(std::shared_ptr<Clock> clock) override;
    // The most this side keeps in flight; the destination may ask for less.
    void setWindowLimit(WindowLimits limits) { m_ownWindow = limits; }
    // What was agreed with the destination (known once the manifest is acknowledged).
    const WindowLimits& window() const { return m_window.limits(); }
    // Whether a file with several names is sent once and linked to by the others,
    // when the destination takes links; on by default.
    void setHardLinks(bool offered) { m_offerHardLinks = offered; }
    // What was agreed: true when later names go as links.
    bool sendsHardLinks() const { return m_links.linksAllowed(); }

    // The file hash scheme offered with the manifest; none offers nothing and hashes as every peer does.
    void setOfferedHashScheme(std::optional<FileHashScheme> scheme) { m_offeredHashScheme = scheme; }
    // What was agreed with the destination (known once the manifest is acknowledged).
    FileHashScheme fileHashScheme() const { return m_fileHashScheme; }

    // Whether whole small files are offered to go several to a frame; on by default.
    void setOfferedFileBundles(bool offered) { m_offeredBundleBytes = offered ? FileBundle::kMaxPayload : 0; }
    // What was agreed: true when small files travel in bundles.
    bool sendsFileBundles() const { return m_bundleBytes > 0; }

    // Holds the chunk loop between chunks and tells the destination.
    void setPaused(bool paused);
    bool isPaused() const { return m_isPaused; }

    // The destination's checkpoint from manifestAck, when it had one.
    const std::optional<ResumeState>& resumeState() const { return m_resumeState; }
    // The whole-file hash the file was sent with; nullopt for a file not (yet) sent whole.
    std::optional<Sha256Digest> sentHash(const QString& relativePath) const;

private:
    struct PreparedFile;
    // The destination answered a file's chunk or completion with fileSkip: it will not take the file.
    struct SkippedByDestination {
        QString reason;
    };
    // The destination failed the file (it could not write it) and recorded why itself.
    struct FailedByDestination {
        QString reason;
    };
    enum class Action { done, placeholder, unreadable, send };
    // The next file to send, read ahead while the current one is acknowledged.
    struct Prefetch {
        std::shared_ptr<PreparedFile> file;
        qsizetype position = -1;
    };

    QCoro::Task<void> runSource();
    void beginRun();
    QCoro::Task<void> exchangeManifest();
    QCoro::Task<void> sendManifest();
    QCoro::Task<void> applyCheckpoint();
    QCoro::Task<void> finishRun();

    QCoro::Task<void> sendCategory(qsizetype categoryIndex, QString categoryID);
    QCoro::Task<void> beginCategory(qsizetype categoryIndex, QString categoryID);
    QCoro::Task<QList<Action>> planCategory(QString categoryID, QList<qsizetype> indices);
    QCoro::Task<void> sendPlannedFiles(QString categoryID, QList<qsizetype> indices, QList<Action> plan);
    QCoro::Task<void> skipPlaceholder(qsizetype itemIndex);
    QCoro::Task<void> skipUnreadable(qsizetype itemIndex, QString categoryID);
    QCoro::Task<void> sendFileSkip(QString relativePath, QString reason);
    // False when cancelled before the file was finished.
    QCoro::Task<bool> sendFile(qsizetype itemIndex, QString categoryID, std::shared_ptr<PreparedFile> prepared,
                               std::function<void()> whenAllSent);
    // What the destination is told of the file given up, when it is to be told;
    // rethrows what ends the transfer.
    std::optional<QString> recordFileFailure(qsizetype itemIndex, const QString& categoryID, std::exception_ptr failure);
    QCoro::Task<void> endCategory(QString categoryID);

    std::shared_ptr<PreparedFile> prepareFile(qsizetype itemIndex);
    void beginFile(qsizetype itemIndex);
    void countResumedPrefix(const QString& categoryID, std::uint64_t size, std::uint32_t firstChunk);
    QCoro::Task<void> waitWhilePaused();
    // Sends a chunk or fileComplete once the window has room for it.
    QCoro::Task<void> sendRequest(RequestWindow::Request request);
    QCoro::Task<void> transmit(RequestWindow::Request request);
    // Waits out the bandwidth budget for `bytes`; false when cancelled meanwhile.
    QCoro::Task<bool> pace(std::uint64_t bytes);
    // A message without reply; stop-and-wait sends it only once every reply is in.
    QCoro::Task<void> sendUnanswered(MessageHeader header);
    // Takes one reply and acts on it.
    QCoro::Task<void> absorbReply();
    QCoro::Task<void> drainWindow();
    QCoro::Task<void> giveUpFile(qsizetype itemIndex, std::exception_ptr failure);
    void countChunk(qsizetype itemIndex, std::uint64_t bytes);
    void countFileDone(qsizetype itemIndex);
    // Back to the plain idle limit after a reply that was allowed longer.
    void restoreIdleDeadline();
    // Whole small files, several to a frame (SourceTransferBundles.cpp).
    bool travelsInBundle(qsizetype itemIndex) const;
    // Sends the bundled files from position `k` on; the position after the last of them.
    QCoro::Task<qsizetype> sendBundledRun(QList<qsizetype> indices, QList<Action> plan, qsizetype k);
    QCoro::Task<void> bundleAnswered(RequestWindow::Outcome outcome);
    QCoro::Task<void> runVerification();
    void recordVerification(const VerificationTally& tally);

    // Files with several names (SourceTransferLinks.cpp).
    QCoro::Task<void> findLinkGroups();
    void agreeOnLinks(const MessageHeader& manifestAck);
    // True when the file went as a link to another of its names.
    QCoro::Task<bool> sendAsLink(qsizetype itemIndex);
    void noteSentWhole(qsizetype itemIndex);
    void linkRefused(qsizetype itemIndex, const QString& reason);
    // The bytes of names the destination would not link, between files.
    QCoro::Task<void> sendCopiesDue();
    // Every refusal of the category is in, and every copy it asked for is sent.
    QCoro::Task<void> finishLinkCopies();

    std::optional<ResumeState> m_resumeState;
    SentHashes m_sentHashes;
    qsizetype m_sentHashCount = 0;
    std::optional<ThrottleBudget> m_throttle;
    WindowLimits m_ownWindow = WindowLimits::ours();
    std::optional<FileHashScheme> m_offeredHashScheme = FileHashScheme::chunkDigests;
    std::uint32_t m_offeredBundleBytes = FileBundle::kMaxPayload;
    std::uint32_t m_bundleBytes = 0;
    FileHashScheme m_fileHashScheme = FileHashScheme::wholeFile;
    RequestWindow m_window;
    std::optional<int> m_capMegabits;
    bool m_isPaused = false;
    bool m_peerPaused = false;
    bool m_deadlineExtended = false;
    std::uint64_t m_bytesDone = 0;
    // The largest chunk the destination takes as a hole marker; 0: it takes none.
    std::uint32_t m_peerHoleSize = 0;
    bool m_offerHardLinks = true;
    HardLinkGroups m_links;
    QList<qsizetype> m_copiesDue;
};

} // namespace kivo
