#include "HistoryModel.h"

#include "DisplayText.h"

#include <QIODevice>

HistoryModel::HistoryModel(QObject *parent)
    : QAbstractListModel(parent)
{
}

void HistoryModel::add(const QString &text, int slot, const QString &peer)
{
    add(QDateTime::currentDateTime(), text, slot, peer);
}

void HistoryModel::add(const QDateTime &time, const QString &text, int slot, const QString &peer)
{
    if (m_entries.size() == Capacity) {
        beginRemoveRows(QModelIndex(), 0, 0);
        m_entries.pop_front();
        endRemoveRows();
    }
    const int row = int(m_entries.size());
    beginInsertRows(QModelIndex(), row, row);
    m_entries.push_back({time, slot, peer, text, m_nextSerial++});
    endInsertRows();
}

QString HistoryModel::line(int row, bool isoTime) const
{
    const Entry &e = entry(row);
    QString result = isoTime ? e.time.toOffsetFromUtc(e.time.offsetFromUtc()).toString(Qt::ISODateWithMs)
                             : e.time.toString(QStringLiteral("HH:mm:ss"));
    if (e.slot >= 0)
        result += QStringLiteral(" 端末 %1").arg(e.slot);
    if (!e.peer.isEmpty())
        result += QStringLiteral(" (%1)").arg(DisplayText::visible(e.peer));
    return result + QLatin1Char(' ') + DisplayText::visible(e.text);
}

bool HistoryModel::write(QIODevice &device) const
{
    for (int row = 0; row < rowCount(); ++row) {
        const QByteArray bytes = (line(row, true) + QLatin1Char('\n')).toUtf8();
        if (device.write(bytes) != bytes.size())
            return false;
    }
    return true;
}

QModelIndex HistoryModel::index(int row, int column, const QModelIndex &parent) const
{
    if (parent.isValid() || column != 0 || row < 0 || row >= rowCount())
        return QModelIndex();
    return createIndex(row, column, quintptr(entry(row).serial));
}

int HistoryModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_entries.size());
}

QVariant HistoryModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return QVariant();
    return role == Qt::DisplayRole ? QVariant(line(index.row())) : QVariant();
}
