#pragma once

#include <QAbstractListModel>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>

#include <deque>
#include <optional>

class QIODevice;

// What happened, oldest first: texts received and sent, files, the serial
// line and what its device answers, Terminals coming and going, failures,
// and first the last entries of the earlier run. Every entry added is
// `recorded` for the journal; the list keeps the last Capacity of them, and
// no one cause can take it over: past SenderBound texts of one sender (the
// device is one) in the list its oldest fold into one counting entry, and
// refused connections within a minute into one.
class HistoryModel : public QAbstractListModel
{
    Q_OBJECT

public:
    static constexpr int Capacity = 10000;
    static constexpr int SenderBound = 500;
    static constexpr int RefusalWindowMs = 60 * 1000;

    enum class Kind {
        Note,
        // A text a peer sent; the slot is its sender.
        Text,
        Refusal,
        // Texts of the slot's sender no longer listed one by one.
        FoldedTexts,
        // A line of the journal of the earlier run, after its time.
        EarlierRun,
        // What the device on the serial line sent.
        DeviceAnswer,
        // Answers of the device no longer listed one by one.
        FoldedDeviceAnswers,
    };

    struct Entry
    {
        QDateTime time;
        // The Terminal's slot at the Station, -1 for none.
        int slot = -1;
        // The Terminal's "address:port" at the Station, empty for none.
        QString peer;
        QString text;
        // Tells entries apart; an index's internalId() is its entry's, new
        // whenever what the entry shows changes.
        quint64 serial = 0;
        Kind kind = Kind::Note;
        // Entries folded into this one, and when the last came.
        int count = 1;
        QDateTime last;
        // Rises with the row.
        quint64 sequence = 0;
    };

    explicit HistoryModel(QObject *parent = nullptr);

    void add(const QString &text, int slot = -1, const QString &peer = QString(), Kind kind = Kind::Note);
    void add(const QDateTime &time, const QString &text, int slot = -1, const QString &peer = QString(),
             Kind kind = Kind::Note);
    // Journal lines of the earlier run, shown first and marked as such.
    void addEarlier(const QStringList &lines);
    // Whether folded texts can still be read in the journal.
    void setJournalKept(bool kept) { m_journalKept = kept; }

    const Entry &entry(int row) const { return m_entries[size_t(row)]; }
    // The entry as a line: the local time as HH:MM:SS or, with `isoTime`,
    // in ISO 8601 with milliseconds and offset. The text is made visible
    // (DisplayText), so that one entry is one line and a saved history
    // printed runs nothing a peer sent.
    QString line(int row, bool isoTime = false) const;
    // Every entry of this run as a line with its ISO time, UTF-8; false
    // when the device did not take it all.
    bool write(QIODevice &device) const;

    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

signals:
    // An entry as the journal keeps it.
    void recorded(const QDateTime &time, const QString &line);

private:
    QString format(const Entry &entry, bool isoTime) const;
    void append(Entry entry);
    void dropFront();
    void removeRow(int row);
    void changed(int row);
    // The row of the entry with `sequence`, -1 when it is gone.
    int rowOf(quint64 sequence) const;
    void foldOldestText(int senderKey);
    // The key of the entry's sender in m_senders; none for other kinds.
    static std::optional<int> senderOf(const Entry &entry);

    struct Sender
    {
        // The sequences of the sender's texts listed one by one, oldest first.
        std::deque<quint64> texts;
        // The sequence of its folded entry; 0 for none.
        quint64 folded = 0;
    };

    std::deque<Entry> m_entries;
    QHash<int, Sender> m_senders;
    // The refusal entry that the refusals of its minute count into.
    quint64 m_refusal = 0;
    quint64 m_nextSerial = 0;
    quint64 m_nextSequence = 1;
    bool m_journalKept = false;
};
