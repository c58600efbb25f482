// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/FileSystem.h"
#include "platform/Json.h"
#include "platform/UniqueFd.h"
#include "transfer/CompletedContent.h"
#include "transfer/FileHashScheme.h"

#include <QByteArray>
#include <QCoroTask>
#include <QDateTime>
#include <QJsonObject>
#include <QHash>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <iterator>
#include <optional>

namespace kivo {

// The destination's checkpoint of one transfer: `<transfers>/<transferID>.json`.
// Between rewrites of that file, events go to an append-only journal beside
// it (`<transferID>.journal`); readers fold the journal in, so the checkpoint
// they see is always complete up to the last acknowledged chunk.
struct ResumeState {
    struct InProgressFile {
        QString relativePath;
        QString categoryID;
        std::uint32_t lastAcknowledgedChunk = 0;
        std::uint64_t bytesReceived = 0;

        QJsonObject toJson() const;
        static InProgressFile fromJson(const QJsonObject& o);
        bool operator==(const InProgressFile&) const = default;
    };

    // What a received file was on the source (from the manifest): a resume
    // continues it only while it is still the same file.
    struct FileIdentity {
        std::uint64_t size = 0;
        std::optional<QDateTime> sourceModified;

        QJsonObject toJson() const;
        static FileIdentity fromJson(const QJsonObject& o);
        bool operator==(const FileIdentity&) const = default;
    };

    // All that is known of one file partly or fully received, in one record:
    // at hundreds of thousands of files, a table per fact cost twice the room.
    struct FileRecord {
        std::uint64_t sourceSize = 0;
        std::int64_t sourceModifiedMsecs = 0;
        // What the file in place held when kivo left it (after adapting, if it
        // was adapted): a later run finds damage done since by it.
        CompletedContent content;
        bool hasIdentity = false;
        bool hasSourceModified = false;
        bool hasContent = false;
        bool completed = false;

        std::optional<FileIdentity> identity() const;
        void setIdentity(const FileIdentity& identity);
        bool isEmpty() const { return !hasIdentity && !hasContent && !completed; }
        bool operator==(const FileRecord&) const = default;
    };

    // The records by relative path, packed: a hash table of records cost 130
    // bytes a file, the largest part of a long transfer's memory on this side.
    // A content stamp that repeats the source's size and second keeps only its
    // nanoseconds. Iteration follows insertion and yields records by value.
    class Files {
    public:
        class const_iterator {
        public:
            using iterator_category = std::forward_iterator_tag;
            using value_type = FileRecord;
            using difference_type = std::ptrdiff_t;
            using reference = FileRecord;
            using pointer = void;
            // `it->field` on a record made on the spot.
            struct Arrow {
                FileRecord record;
                const FileRecord* operator->() const { return &record; }
            };
            const QString& key() const { return m_files->m_paths[m_at]; }
            FileRecord operator*() const { return m_files->recordAt(m_at); }
            Arrow operator->() const { return {**this}; }
            const_iterator& operator++();
            const_iterator operator++(int)
            {
                const_iterator was = *this;
                ++*this;
                return was;
            }
            bool operator==(const const_iterator& other) const { return m_at == other.m_at; }

        private:
            friend class Files;
            const_iterator(const Files* files, qsizetype at);
            const Files* m_files = nullptr;
            qsizetype m_at = 0;
        };
        using iterator = const_iterator;

        qsizetype size() const { return m_live; }
        bool isEmpty() const { return m_live == 0; }
        void reserve(qsizetype count);
        const_iterator cbegin() const { return {this, 0}; }
        const_iterator cend() const { return {this, m_paths.size()}; }
        const_iterator begin() const { return cbegin(); }
        const_iterator end() const { return cend(); }
        const_iterator constFind(const QString& path) const;
        bool contains(const QString& path) const { return constFind(path) != cend(); }
        // An empty record is not kept: storing one removes the path.
        void store(const QString& path, const FileRecord& record);
        // The same records by path, in whatever order.
        bool operator==(const Files& other) const;

    private:
        // 56 bytes. Without an identity, size and time hold the content's stamp.
        struct Packed {
            Sha256Digest hash;
            std::uint64_t size = 0;
            std::int64_t time = 0; // the source's milliseconds, or the content's seconds
            std::uint32_t nsecs = 0; // the content's
            std::uint8_t flags = 0;
        };
        struct Stamp {
            std::uint64_t size = 0;
            std::int64_t secs = 0;
            std::int64_t nsecs = 0;
        };
        FileRecord recordAt(qsizetype at) const;
        // The slot holding `path`, or the empty slot where it would go.
        qsizetype slotOf(const QString& path) const;
        void rebuild(qsizetype capacity);

        // Parallel lists by insertion; a removed path stays as a dead entry until the next rebuild.
        QList<QString> m_paths;
        QList<Packed> m_records;
        // Stamps that could not be folded into their record, by entry.
        QHash<qsizetype, Stamp> m_apart;
        // Open addressing: entry + 1, 0 for none; a power of two in size.
        QList<std::uint32_t> m_slots;
        qsizetype m_live = 0;
    };

    QString transferID;
    QString sourceHostname;
    QDateTime createdAt;
    QDateTime updatedAt;
    // Every file completed, started or with content recorded, by relative path.
    Files files;
    std::optional<InProgressFile> inProgressFile;
    QStringList completedCategories;
    std::uint64_t totalBytesReceived = 0;
    // Files in place whose data may not be on disk yet, with the whole-file
    // hash they were checked against; not yet completed.
    QMap<QString, QString> unconfirmedFiles;
    // The scheme of every hash above.
    FileHashScheme fileHashScheme = FileHashScheme::wholeFile;

    // Completed files, sorted.
    QStringList completedFiles() const;
    qsizetype completedCount() const;
    bool isCompleted(const QString& relativePath) const;
    void markCompleted(const QString& relativePath);
    // What the source said the file was; nullopt for a file never begun by this transfer.
    std::optional<FileIdentity> identity(const QString& relativePath) const;
    void setIdentity(const QString& relativePath, const FileIdentity& identity);
    void forgetIdentity(const QString& relativePath);
    std::optional<CompletedContent> content(const QString& relativePath) const;
    // nullopt forgets it.
    void setContent(const QString& relativePath, const std::optional<CompletedContent>& content);
    // The file is received again from nothing: neither completed nor with content.
    void forgetCompletion(const QString& relativePath);
    void forgetAllContent();

    QJsonObject toJson() const;
    static ResumeState fromJson(const QJsonObject& o); // throws DecodingError
    // What the files here hold is this side's own business: the source's copy leaves it out.
    enum class Content { included, leftOut };
    // Pretty-printed, keys sorted: the file's content and manifestAck's resumeState.
    QByteArray encoded(Content content = Content::included) const;
    // The same text, handed to `write` in pieces of about one entry each.
    void encodeInto(const fs::ByteSink& write, Content content = Content::included) const;
    static ResumeState decode(const QByteArray& bytes); // throws DecodingError
    bool operator==(const ResumeState&) const = default;

    // Transfer ids name files, so only plain names are accepted.
    static bool isValidTransferID(const QString& transferID);
    static QString jsonPath(const QString& transfersDir, const QString& transferID);
    static QString journalPath(const QString& transfersDir, const QString& transferID);

    // Replaces the checkpoint file atomically (write, then rename). Throws SystemError.
    void save(const QString& transfersDir) const;
    // The checkpoint with its journal folded in; nullopt when missing or undecodable. Read-only.
    static std::optional<ResumeState> load(const QString& transfersDir, const QString& transferID);
    // Every decodable checkpoint, most recently updated first.
    static QList<ResumeState> listAll(const QString& transfersDir);
    // Removes the checkpoint, its journal and its list of folders; missing files are fine.
    static void remove(const QString& transfersDir, const QString& transferID);
};

// The live checkpoint the destination keeps while receiving. Each event costs
// one small append, however many files are already done; the JSON file is
// rewritten only when opening and at category boundaries. The events of small
// files gather in memory and go out in one write at the next flush(): a crash
// may lose them, and then a later run receives those files again or finds them
// in place by their content.
class ResumeJournal {
public:
    // Folds any journal left by an earlier run into `state`, writes the JSON and starts a fresh journal.
    ResumeJournal(QString transfersDir, ResumeState state);
    ~ResumeJournal();
    ResumeJournal(const ResumeJournal&) = delete;
    ResumeJournal& operator=(const ResumeJournal&) = delete;

    const ResumeState& state() const { return m_state; }
    // Files this transfer began writing and has not completed (partial content is its own).
    bool wasStarted(const QString& relativePath) const { return m_started.contains(relativePath); }

    // Room for this many completed files at once, so the lists are not regrown file by file.
    void expectFiles(qsizetype count);
    void fileStarted(const QString& relativePath, const ResumeState::FileIdentity& identity, const QDateTime& now);
    // The file starts again from its first chunk: its partial content is gone or no longer its own.
    void fileAbandoned(const QString& relativePath, const QDateTime& now);
    // A finished or partial file is received again from its first chunk; it stays this transfer's own.
    // Takes effect in the checkpoint at the next fold().
    void reopen(const QString& relativePath);
    // A chunk of `payloadSize` bytes is written; the file holds every chunk up
    // to `lastContiguousChunk`, `prefixBytes` in all.
    void chunkWritten(const QString& relativePath, const QString& categoryID, std::uint32_t lastContiguousChunk,
                      std::uint64_t prefixBytes, std::uint64_t payloadSize, const QDateTime& now);
    void fileCompleted(const QString& relativePath, const QDateTime& now) { filesCompleted({relativePath}, now); }
    // Files complete and on disk, in one append.
    void filesCompleted(const QStringList& relativePaths, const QDateTime& now);
    // A file is complete in place but perhaps not yet on disk: a later run
    // confirms it by its hash instead of receiving it again.
    void fileInPlace(const QString& relativePath, const QString& sha256, const QDateTime& now);
    // What the file in place holds now; nullopt forgets it (a file taken in by its category's handler).
    void contentRecorded(const QString& relativePath, const std::optional<CompletedContent>& content);
    // Files received whole in one step (a bundle's), recorded compactly: their
    // begin, landing and completion events gather into one line each per group,
    // and later lines name them by their place in this journal rather than by path.
    void bundledFileStarted(const QString& relativePath, const ResumeState::FileIdentity& identity, const QDateTime& now);
    void bundledFileLanded(const QString& relativePath, const QString& sha256, const std::optional<CompletedContent>& content,
                           const QDateTime& now);
    // Bytes written that need no event of their own (a bundled file's).
    void bytesReceived(std::uint64_t payloadSize) { m_state.totalBytesReceived += payloadSize; }
    // What recording has cost so far: write calls and bytes, journal and JSON alike.
    struct Stats {
        std::uint64_t writes = 0;
        std::uint64_t bytes = 0;
    };
    const Stats& stats() const { return m_stats; }
    // One compact event of a journal (see bundledFileStarted): true when `kind` is one.
    // `numbered` holds the paths of bundled files in the order the journal began them.
    static bool replayGrouped(const QString& kind, const QJsonObject& event, ResumeState& state, QSet<QString>& started,
                              QStringList& numbered);
    // Every whole line of the journal at `journalPath` onto the state; a missing journal adds nothing.
    static void replayFile(const QString& journalPath, ResumeState& state, QSet<QString>& started);
    // Any journal event onto the state; false for a kind this version does not know.
    static bool replayEvent(const QString& kind, const QJsonObject& event, ResumeState& state, QSet<QString>& started,
                            QStringList& numbered);
    // This run's hashes are made in `scheme`. When the checkpoint's were made
    // in another, they are forgotten (their files are not: they stay received).
    void useHashScheme(FileHashScheme scheme);
    void categoryCompleted(const QString& categoryID, const QDateTime& now);

    // Writes the gathered events. The caller flushes before a file takes its
    // final name, so a file in place is always known as this transfer's.
    void flush();
    // Rewrites the JSON with everything so far and empties the journal.
    void fold();
    // Deletes both files; later events are dropped.
    void remove();

private:
    void append(json::ObjectWriter& event);
    // A fresh journal beside a just-written JSON.
    void restartJournal();
    void writeLines(const QByteArray& lines);
    void appendBegin(const QString& relativePath, const QDateTime& now);

    // Writes the gathered bundle lines into the pending events, begun before landed.
    void closeGroups();
    // The "done" line for those of `paths` numbered in this journal; the others are returned.
    QStringList completeNumbered(const QStringList& paths, const QDateTime& now, QByteArray& lines);

    QString m_dir;
    ResumeState m_state;
    // Bundled files begun in this journal and not yet complete, by their number in it.
    QHash<QString, std::uint32_t> m_numbers;
    std::uint32_t m_nextNumber = 0;
    QByteArray m_begunGroup;
    QByteArray m_landedGroup;
    QDateTime m_groupTime;
    Stats m_stats;
    QSet<QString> m_started;
    QByteArray m_pending;
    UniqueFd m_journal;
    bool m_removed = false;
};

} // namespace kivo
