#pragma once

#include <QAbstractTableModel>
#include <QDateTime>
#include <QPointer>
#include <QTimer>

#include <vector>

class CConnSocket;

// The Terminals that hold a slot, one row each in slot order: slot,
// address:port, when it connected, when bytes last came from it, and how
// many of its RS strings wait for the serial line and its files for Save As. The Station feeds it from
// the listener's signals; the times and the waiting strings are shown anew
// every second.
class ConnectedTerminalsModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { SlotColumn, PeerColumn, SinceColumn, ActivityColumn, WaitingRsColumn, QueuedFilesColumn, ColumnCount };

    explicit ConnectedTerminalsModel(QObject *parent = nullptr);

    // `connection` (open) took `slot`.
    void admit(int slot, CConnSocket *connection);
    void remove(int slot);
    // `waiting` RS strings of `slot` wait for the line now.
    void setWaitingRs(int slot, quint64 waiting);
    // `count` files of `slot` wait for the Save As dialog.
    void setQueuedFiles(int slot, int count);

    int slotAt(int row) const { return m_rows.at(size_t(row)).slot; }
    // "address:port" of the Terminal in `slot`; empty for a free slot.
    QString peer(int slot) const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    static constexpr int REFRESH_MS = 1000;

private:
    struct Row
    {
        int slot;
        QPointer<CConnSocket> connection;
        QString peer;
        QDateTime since;
        QDateTime lastActivity;
        quint64 waitingRs = 0;
        // Bytes came since the activity times were last taken.
        bool active = false;
        int queuedFiles = 0;
    };

    void refresh();
    void stampActivity();
    int rowOf(int slot) const;

    std::vector<Row> m_rows;
    QTimer m_refresh;
    bool m_stampPosted = false;
};
