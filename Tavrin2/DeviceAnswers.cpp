#include "DeviceAnswers.h"

#include "CodePage.h"
#include "Timers.h"

DeviceAnswers::DeviceAnswers(ITimers &timers, QObject *parent)
    : QObject(parent)
    , m_timers(timers)
{
}

void DeviceAnswers::take(const QByteArray &bytes)
{
    for (const char byte : bytes) {
        if (byte == '\r' || byte == '\n') {
            end();
            continue;
        }
        m_held.append(byte);
        // One byte past the limit tells whether the last one that fits
        // begins a double-byte character.
        if (m_held.size() <= MAX_ANSWER)
            continue;
        const int cut = CodePage::fittingLength(m_held.constData(), int(m_held.size()), MAX_ANSWER);
        emit answered(m_held.left(cut));
        m_held.remove(0, cut);
    }
    if (m_held.isEmpty())
        return;
    // One timer at a time, however the bytes come: the answer ends after
    // between one and two silences.
    if (m_waiting) {
        m_heard = true;
        return;
    }
    m_waiting = true;
    m_heard = false;
    m_timers.singleShot(SILENCE_MS, this, [this] { silenceOver(); });
}

void DeviceAnswers::silenceOver()
{
    m_waiting = false;
    if (m_held.isEmpty())
        return;
    if (m_heard) {
        m_waiting = true;
        m_heard = false;
        m_timers.singleShot(SILENCE_MS, this, [this] { silenceOver(); });
        return;
    }
    end();
}

void DeviceAnswers::end()
{
    if (m_held.isEmpty())
        return;
    const QByteArray answer = m_held;
    m_held.clear();
    emit answered(answer);
}

QString DeviceAnswers::shown(const QByteArray &answer)
{
    const QString text = CodePage::decode(answer);
    if (!text.contains(QChar::ReplacementCharacter))
        return QStringLiteral("装置から: ") + text;
    return QStringLiteral("装置から（16進）: ") + QString::fromLatin1(answer.toHex(' ').toUpper());
}
