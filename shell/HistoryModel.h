#pragma once

#include <QAbstractListModel>
#include <QDateTime>
#include <QString>

#include <deque>

class QIODevice;

// What happened during this run, oldest first: texts received and sent,
// files, the serial line, Terminals coming and going, failures. It keeps the
// last Capacity entries; each new one beyond drops the oldest.
class HistoryModel : public QAbstractListModel
{
    Q_OBJECT

public:
    static constexpr int Capacity = 10000;

    struct Entry
    {
        QDateTime time;
        // The Terminal's slot at the Station, -1 for none.
        int slot = -1;
        // The Terminal's "address:port" at the Station, empty for none.
        QString peer;
        QString text;
        // Tells entries apart; an index's internalId() is its entry's.
        quint64 serial = 0;
    };

    explicit HistoryModel(QObject *parent = nullptr);

    void add(const QString &text, int slot = -1, const QString &peer = QString());
    void add(const QDateTime &time, const QString &text, int slot = -1, const QString &peer = QString());

    const Entry &entry(int row) const { return m_entries[size_t(row)]; }
    // The entry as a line: the local time as HH:MM:SS or, with `isoTime`,
    // in ISO 8601 with milliseconds and offset. The text is made visible
    // (DisplayText), so that one entry is one line and a saved history
    // printed runs nothing a peer sent.
    QString line(int row, bool isoTime = false) const;
    // Every entry as a line with its ISO time, UTF-8; false when the
    // device did not take it all.
    bool write(QIODevice &device) const;

    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

private:
    std::deque<Entry> m_entries;
    quint64 m_nextSerial = 0;
};
