#include "ConnectedTerminalsModel.h"

#include "CSocket.h"

#include <algorithm>

namespace {
QString clock(const QDateTime &time)
{
    return time.toString(QStringLiteral("HH:mm:ss"));
}
}

ConnectedTerminalsModel::ConnectedTerminalsModel(QObject *parent)
    : QAbstractTableModel(parent)
{
    m_refresh.setInterval(REFRESH_MS);
    connect(&m_refresh, &QTimer::timeout, this, &ConnectedTerminalsModel::refresh);
}

void ConnectedTerminalsModel::admit(int slot, CConnSocket *connection)
{
    if (rowOf(slot) >= 0)
        return;
    const auto place = std::find_if(m_rows.begin(), m_rows.end(), [slot](const Row &row) { return row.slot > slot; });
    const int row = int(place - m_rows.begin());
    const QDateTime now = QDateTime::currentDateTime();
    beginInsertRows(QModelIndex(), row, row);
    m_rows.insert(place, {slot, connection,
                          QStringLiteral("%1:%2").arg(connection->peerAddress().toString()).arg(connection->peerPort()),
                          now, now});
    endInsertRows();
    // The clock is read once a turn for all rows: a flood brings bytes
    // thousands of times a second.
    connect(connection, &CConnSocket::dataArrived, this, [this, slot] {
        const int row = rowOf(slot);
        if (row < 0)
            return;
        m_rows[size_t(row)].active = true;
        if (m_stampPosted)
            return;
        m_stampPosted = true;
        QMetaObject::invokeMethod(this, &ConnectedTerminalsModel::stampActivity, Qt::QueuedConnection);
    });
    m_refresh.start();
}

void ConnectedTerminalsModel::remove(int slot)
{
    const int row = rowOf(slot);
    if (row < 0)
        return;
    if (CConnSocket *connection = m_rows[size_t(row)].connection)
        connection->disconnect(this);
    beginRemoveRows(QModelIndex(), row, row);
    m_rows.erase(m_rows.begin() + row);
    endRemoveRows();
    if (m_rows.empty())
        m_refresh.stop();
}

QString ConnectedTerminalsModel::peer(int slot) const
{
    const int row = rowOf(slot);
    return row < 0 ? QString() : m_rows[size_t(row)].peer;
}

void ConnectedTerminalsModel::setWaitingRs(int slot, quint64 waiting)
{
    // Shown at the next refresh: a flood changes it thousands of times a second.
    const int row = rowOf(slot);
    if (row >= 0)
        m_rows[size_t(row)].waitingRs = waiting;
}

void ConnectedTerminalsModel::stampActivity()
{
    m_stampPosted = false;
    const QDateTime now = QDateTime::currentDateTime();
    for (Row &row : m_rows) {
        if (row.active)
            row.lastActivity = now;
        row.active = false;
    }
}

void ConnectedTerminalsModel::setQueuedFiles(int slot, int count)
{
    const int row = rowOf(slot);
    if (row < 0)
        return;
    m_rows[size_t(row)].queuedFiles = count;
    emit dataChanged(index(row, QueuedFilesColumn), index(row, QueuedFilesColumn), {Qt::DisplayRole});
}

void ConnectedTerminalsModel::refresh()
{
    emit dataChanged(index(0, ActivityColumn), index(rowCount() - 1, WaitingRsColumn), {Qt::DisplayRole});
}

int ConnectedTerminalsModel::rowOf(int slot) const
{
    const auto found = std::find_if(m_rows.begin(), m_rows.end(), [slot](const Row &row) { return row.slot == slot; });
    return found == m_rows.end() ? -1 : int(found - m_rows.begin());
}

int ConnectedTerminalsModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int ConnectedTerminalsModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ConnectedTerminalsModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || role != Qt::DisplayRole)
        return QVariant();
    const Row &row = m_rows[size_t(index.row())];
    switch (index.column()) {
    case SlotColumn:
        return row.slot;
    case PeerColumn:
        return row.peer;
    case SinceColumn:
        return clock(row.since);
    case ActivityColumn:
        return clock(row.lastActivity);
    case WaitingRsColumn:
        return row.waitingRs;
    case QueuedFilesColumn:
        return row.queuedFiles > 0 ? QStringLiteral("保存待ち %1 件").arg(row.queuedFiles) : QString();
    }
    return QVariant();
}

QVariant ConnectedTerminalsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    static const QStringList titles {QStringLiteral("端末"), QStringLiteral("アドレス:ポート"),
                                     QStringLiteral("接続時刻"), QStringLiteral("最後の受信"),
                                     QStringLiteral("回線待ちのRS"), QStringLiteral("受信ファイル")};
    return titles.value(section);
}
