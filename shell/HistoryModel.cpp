#include "HistoryModel.h"

#include "DisplayText.h"

#include <QIODevice>
#include <QLocale>

#include <algorithm>

namespace {
QString counted(int count)
{
    return QLocale(QLocale::Japanese).toString(count);
}

// Below the slots and the -1 of no slot.
constexpr int DeviceSender = -2;
}

HistoryModel::HistoryModel(QObject *parent)
    : QAbstractListModel(parent)
{
}

void HistoryModel::add(const QString &text, int slot, const QString &peer, Kind kind)
{
    add(QDateTime::currentDateTime(), text, slot, peer, kind);
}

void HistoryModel::add(const QDateTime &time, const QString &text, int slot, const QString &peer, Kind kind)
{
    Entry entry {time, slot, peer, text, m_nextSerial++, kind, 1, time, m_nextSequence++};
    emit recorded(time, format(entry, true));
    if (kind == Kind::Refusal) {
        const int row = m_refusal ? rowOf(m_refusal) : -1;
        if (row >= 0 && m_entries[size_t(row)].time.msecsTo(time) < RefusalWindowMs) {
            Entry &summed = m_entries[size_t(row)];
            ++summed.count;
            summed.text = text;
            summed.last = time;
            changed(row);
            return;
        }
        m_refusal = entry.sequence;
    }
    const quint64 sequence = entry.sequence;
    const std::optional<int> senderKey = senderOf(entry);
    append(std::move(entry));
    if (senderKey) {
        Sender &sender = m_senders[*senderKey];
        sender.texts.push_back(sequence);
        if (sender.texts.size() > size_t(SenderBound))
            foldOldestText(*senderKey);
    }
}

std::optional<int> HistoryModel::senderOf(const Entry &entry)
{
    switch (entry.kind) {
    case Kind::Text:
    case Kind::FoldedTexts:
        return entry.slot;
    case Kind::DeviceAnswer:
    case Kind::FoldedDeviceAnswers:
        return DeviceSender;
    default:
        return std::nullopt;
    }
}

void HistoryModel::addEarlier(const QStringList &lines)
{
    for (const QString &journalLine : lines) {
        const qsizetype space = journalLine.indexOf(QLatin1Char(' '));
        Entry entry;
        entry.time = QDateTime::fromString(journalLine.left(space), Qt::ISODateWithMs);
        entry.text = entry.time.isValid() ? journalLine.mid(space + 1) : journalLine;
        entry.last = entry.time;
        entry.kind = Kind::EarlierRun;
        entry.serial = m_nextSerial++;
        entry.sequence = m_nextSequence++;
        append(std::move(entry));
    }
}

void HistoryModel::foldOldestText(int senderKey)
{
    Sender &sender = m_senders[senderKey];
    const int row = rowOf(sender.texts.front());
    sender.texts.pop_front();
    if (row < 0)
        return;
    // The folded entry is older than any text of its sender still listed.
    const int foldedRow = sender.folded ? rowOf(sender.folded) : -1;
    if (foldedRow >= 0) {
        Entry &folded = m_entries[size_t(foldedRow)];
        ++folded.count;
        folded.last = m_entries[size_t(row)].time;
        removeRow(row);
        changed(foldedRow);
        return;
    }
    Entry &first = m_entries[size_t(row)];
    first.kind = first.kind == Kind::DeviceAnswer ? Kind::FoldedDeviceAnswers : Kind::FoldedTexts;
    sender.folded = first.sequence;
    changed(row);
}

void HistoryModel::append(Entry entry)
{
    if (m_entries.size() == Capacity)
        dropFront();
    const int row = int(m_entries.size());
    beginInsertRows(QModelIndex(), row, row);
    m_entries.push_back(std::move(entry));
    endInsertRows();
}

void HistoryModel::dropFront()
{
    const Entry &oldest = m_entries.front();
    const std::optional<int> senderKey = senderOf(oldest);
    const auto sender = senderKey ? m_senders.find(*senderKey) : m_senders.end();
    if (sender != m_senders.end()) {
        if (!sender->texts.empty() && sender->texts.front() == oldest.sequence)
            sender->texts.pop_front();
        if (sender->folded == oldest.sequence)
            sender->folded = 0;
        if (sender->texts.empty() && !sender->folded)
            m_senders.erase(sender);
    }
    if (m_refusal == oldest.sequence)
        m_refusal = 0;
    removeRow(0);
}

void HistoryModel::removeRow(int row)
{
    beginRemoveRows(QModelIndex(), row, row);
    m_entries.erase(m_entries.begin() + row);
    endRemoveRows();
}

void HistoryModel::changed(int row)
{
    m_entries[size_t(row)].serial = m_nextSerial++;
    const QModelIndex changedIndex = index(row, 0);
    emit dataChanged(changedIndex, changedIndex);
}

int HistoryModel::rowOf(quint64 sequence) const
{
    const auto found = std::lower_bound(m_entries.cbegin(), m_entries.cend(), sequence,
                                        [](const Entry &entry, quint64 wanted) { return entry.sequence < wanted; });
    return found != m_entries.cend() && found->sequence == sequence ? int(found - m_entries.cbegin()) : -1;
}

QString HistoryModel::format(const Entry &e, bool isoTime) const
{
    QString result = isoTime ? e.time.toOffsetFromUtc(e.time.offsetFromUtc()).toString(Qt::ISODateWithMs)
                             : e.time.toString(e.kind == Kind::EarlierRun ? QStringLiteral("yyyy-MM-dd HH:mm:ss")
                                                                           : QStringLiteral("HH:mm:ss"));
    switch (e.kind) {
    case Kind::FoldedTexts:
    case Kind::FoldedDeviceAnswers: {
        const QString sender = e.kind == Kind::FoldedDeviceAnswers ? QStringLiteral("装置")
            : e.slot < 0                                            ? QStringLiteral("接続局")
                                                                    : QStringLiteral("端末 %1 ").arg(e.slot);
        return result
            + QStringLiteral(" %1からの文字列 %2 件（%3）")
                  .arg(sender, counted(e.count),
                       m_journalKept ? QStringLiteral("履歴ファイルにあります") : QStringLiteral("一覧からは省きました"));
    }
    case Kind::EarlierRun:
        return result + QStringLiteral(" ［前回］") + DisplayText::visible(e.text);
    case Kind::Refusal:
        if (e.count > 1)
            return result
                + QStringLiteral(" 接続を拒否しました: 1 分間に %1 件（最後は %2 %3）")
                      .arg(counted(e.count), e.last.toString(QStringLiteral("HH:mm:ss")), DisplayText::visible(e.text));
        break;
    default:
        break;
    }
    if (e.slot >= 0)
        result += QStringLiteral(" 端末 %1").arg(e.slot);
    if (!e.peer.isEmpty())
        result += QStringLiteral(" (%1)").arg(DisplayText::visible(e.peer));
    return result + QLatin1Char(' ') + DisplayText::visible(e.text);
}

QString HistoryModel::line(int row, bool isoTime) const
{
    return format(entry(row), isoTime);
}

bool HistoryModel::write(QIODevice &device) const
{
    for (int row = 0; row < rowCount(); ++row) {
        if (entry(row).kind == Kind::EarlierRun)
            continue;
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
