#pragma once

#include <QAbstractTableModel>
#include <QDateTime>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <vector>

class CConnSocket;

// The Terminals that hold a slot, one row each in slot order: slot,
// address:port, when it connected, when bytes last came from it, and how
// many of its RS strings wait for the serial line. The Station feeds it from
// the listener's signals; the times and the waiting strings are read again
// every second.
class ConnectedTerminalsModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { SlotColumn, PeerColumn, SinceColumn, ActivityColumn, WaitingRsColumn, ColumnCount };

    // `waitingRs` tells how many RS strings of a slot wait for the line.
    explicit ConnectedTerminalsModel(std::function<quint64(int slot)> waitingRs, QObject *parent = nullptr);

    // `connection` (open) took `slot`.
    void admit(int slot, CConnSocket *connection);
    void remove(int slot);

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
    };

    void refresh();
    int rowOf(int slot) const;

    std::function<quint64(int slot)> m_waitingRs;
    std::vector<Row> m_rows;
    QTimer m_refresh;
};
