#include "Frame.h"
#include "FileReception.h"
#include "FrameDecoder.h"

#include <QtTest>

namespace {
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

QByteArray filled(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i * 7 + 3);
    return bytes;
}

struct Decoded
{
    FrameHeader header;
    QByteArray payload;
    quint32 dropped;
};

// Feeds `stream` in pieces of `step` bytes and collects every frame.
QList<Decoded> decodeAll(const QByteArray &stream, int step, int textKeep = 199)
{
    FrameDecoder decoder(textKeep);
    QList<Decoded> frames;
    qsizetype pos = 0;
    while (pos < stream.size()) {
        const qsizetype piece = qMin<qsizetype>(step, stream.size() - pos);
        qsizetype used = 0;
        while (used < piece) {
            const qsizetype took = decoder.feed(stream.constData() + pos + used, piece - used);
            // A reader that stalls mid-piece loses the frames after it.
            if (took == 0 && !decoder.frameReady())
                return frames;
            used += took;
            if (decoder.frameReady()) {
                frames.append({decoder.header(), decoder.payload(), decoder.droppedBytes()});
                decoder.nextFrame();
            }
        }
        pos += piece;
    }
    return frames;
}
}

class tst_Frame : public QObject
{
    Q_OBJECT

private slots:
    void encodesWorkedExamples_data();
    void encodesWorkedExamples();
    void decodesHeaderFields_data();
    void decodesHeaderFields();
    void fileFrameSizes_data();
    void fileFrameSizes();
    void fileSizeLimit();
    void decodesSplitAtEveryBoundary();
    void hugeClaimStaysBounded();
    void encodesExtensionFrames_data();
    void encodesExtensionFrames();
    void recognisesAnnouncement_data();
    void recognisesAnnouncement();
    void parsesFileBegin_data();
    void parsesFileBegin();
    void safeFileName_data();
    void safeFileName();
    void extensionFramesKeptWithinLimits_data();
    void extensionFramesKeptWithinLimits();
};

void tst_Frame::encodesWorkedExamples_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("text abc") << FrameCodec::textFrame("abc")
                              << hex("01 00000003 0000 000000 616263");
    QTest::newRow("empty text") << FrameCodec::textFrame({}) << hex("01 00000000 0000 000000");
    QTest::newRow("rs abc") << FrameCodec::rsFrame("abc") << hex("03 00000003 0000 000000 616263");
    QTest::newRow("empty rs") << FrameCodec::rsFrame({}) << hex("03 00000000 0000 000000");
    QTest::newRow("4500-byte file, last frame")
        << FrameCodec::fileFrame(4500, 2, QByteArray(500, 'x'))
        << hex("02 00001194 0002 000000") + QByteArray(500, 'x');
    QTest::newRow("4000-byte file, last frame") << FrameCodec::fileFrame(4000, 2, {})
                                                << hex("02 00000FA0 0002 000000");
    QTest::newRow("empty file") << FrameCodec::fileFrame(0, 0, {}) << hex("02 00000000 0000 000000");
    QTest::newRow("length 258, chunk 300") << FrameCodec::fileFrame(258, 300, {})
                                           << hex("02 00000102 012C 000000");
}

void tst_Frame::encodesWorkedExamples()
{
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, expected);
    QCOMPARE(frame.toHex(' '), expected.toHex(' '));
}

void tst_Frame::decodesHeaderFields_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("kind");
    QTest::addColumn<quint32>("length");
    QTest::addColumn<int>("index");

    QTest::newRow("4500-byte file, frame 2") << hex("02 00001194 0001 000000") << 2 << 4500u << 1;
    QTest::newRow("length 258") << hex("01 00000102 0000 000000") << 1 << 258u << 0;
    QTest::newRow("index 300") << hex("02 00000000 012C 000000") << 2 << 0u << 300;
    QTest::newRow("largest claim") << hex("03 7FFFFFFF 0000 000000") << 3 << 0x7FFFFFFFu << 0;
    QTest::newRow("high kind is unsigned") << hex("FF 00000001 FFFF 000000") << 255 << 1u << 65535;
}

void tst_Frame::decodesHeaderFields()
{
    QFETCH(QByteArray, bytes);
    const FrameHeader header = FrameHeader::decode(bytes.constData());
    QTEST(int(header.kind), "kind");
    QTEST(header.length, "length");
    QTEST(int(header.index), "index");

    char again[FRAME_HEADER_SIZE];
    header.encode(again);
    QCOMPARE(QByteArray(again, FRAME_HEADER_SIZE), bytes);
}

void tst_Frame::fileFrameSizes_data()
{
    QTest::addColumn<quint32>("length");
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("last");
    QTest::addColumn<quint32>("payload");

    QTest::newRow("4500, chunk 0") << 4500u << 0 << false << 2000u;
    QTest::newRow("4500, chunk 1") << 4500u << 1 << false << 2000u;
    QTest::newRow("4500, last") << 4500u << 2 << true << 500u;
    QTest::newRow("4000, last is bare") << 4000u << 2 << true << 0u;
    QTest::newRow("1500, only frame") << 1500u << 0 << true << 1500u;
    QTest::newRow("empty file") << 0u << 0 << true << 0u;
}

void tst_Frame::fileFrameSizes()
{
    QFETCH(quint32, length);
    QFETCH(int, index);
    const FrameHeader header{FRAME_FILE, length, quint16(index)};
    QTEST(header.isLastFileChunk(), "last");
    QTEST(header.payloadSize(), "payload");
}

void tst_Frame::fileSizeLimit()
{
    // The last frame's index is the 16-bit field's highest, 65535: 65535 full
    // chunks of 2000 bytes and at most 1999 bytes after them.
    QVERIFY(FrameCodec::fileFits(131071999));
    QVERIFY(!FrameCodec::fileFits(131072000));
    QVERIFY(FrameCodec::fileFits(0));
    QVERIFY(!FrameCodec::fileFits(Q_UINT64_C(0x100000000)));
    QCOMPARE(FrameCodec::fileFrameCount(4500), 3u);
    QCOMPARE(FrameCodec::fileFrameCount(4000), 3u);
    QCOMPARE(FrameCodec::fileFrameCount(0), 1u);
}

void tst_Frame::decodesSplitAtEveryBoundary()
{
    const QByteArray chunk = filled(CHUNK_SIZE);
    QByteArray stream;
    // Senders may leave anything in the unused header bytes.
    stream += hex("01 00000003 ABCD EF0102 616263");
    stream += FrameCodec::fileFrame(2500, 0, chunk);
    stream += hex("02 000009C4 0001 FFFFFF") + chunk.left(500);
    stream += FrameCodec::rsFrame("xyz");
    stream += hex("07 00000002 0000 000000 EEEE");
    stream += FrameCodec::textFrame({});

    for (int step = 1; step <= stream.size(); step += (step < 40 ? 1 : 97)) {
        const QList<Decoded> frames = decodeAll(stream, step);
        QCOMPARE(frames.size(), 6);
        QCOMPARE(frames[0].payload, QByteArray("abc"));
        QCOMPARE(frames[1].payload, chunk);
        QVERIFY(frames[2].header.isLastFileChunk());
        QCOMPARE(frames[2].payload, chunk.left(500));
        QCOMPARE(frames[3].payload, QByteArray("x"));
        QCOMPARE(frames[3].dropped, 2u);
        QCOMPARE(int(frames[4].header.kind), 7);
        QVERIFY(frames[4].payload.isEmpty());
        QCOMPARE(frames[5].header.length, 0u);
    }
}

void tst_Frame::hugeClaimStaysBounded()
{
    FrameDecoder decoder(196);
    const QByteArray header = hex("01 7FFFFFFF 0000 000000");
    QCOMPARE(decoder.feed(header.constData(), header.size()), qsizetype(FRAME_HEADER_SIZE));

    const QByteArray block(1 << 20, 'q');
    quint64 left = 0x7FFFFFFFu;
    while (left > 0) {
        const qsizetype piece = qsizetype(qMin<quint64>(left, quint64(block.size())));
        QCOMPARE(decoder.feed(block.constData(), piece), piece);
        QVERIFY(decoder.payload().capacity() <= 4096);
        left -= quint64(piece);
    }
    QVERIFY(decoder.frameReady());
    QCOMPARE(decoder.payload(), QByteArray(196, 'q'));
    QCOMPARE(decoder.droppedBytes(), 0x7FFFFFFFu - 196);
    decoder.nextFrame();

    const QByteArray next = FrameCodec::textFrame("after");
    decoder.feed(next.constData(), next.size());
    QVERIFY(decoder.frameReady());
    QCOMPARE(decoder.payload(), QByteArray("after"));
}

void tst_Frame::encodesExtensionFrames_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("announcement") << FrameCodec::announcementFrame() << hex("03 00000000 5441 565201");
    QTest::newRow("hello") << FrameCodec::extHelloFrame(EXT_FEATURES) << hex("10 00000005 01 00000000 01 00000007");
    QTest::newRow("text euro") << FrameCodec::extTextFrame("\xE2\x82\xAC") << hex("11 00000003 01 00000000 E282AC");
    QTest::newRow("begin a, 3 bytes, id 2")
        << FrameCodec::extFileBeginFrame(2, 3, QStringLiteral("a"))
        << hex("12 0000000E 01 00000000 00000002 0000000000000003 01 61");
    QTest::newRow("begin, size above 4 GiB")
        << FrameCodec::extFileBeginFrame(0x01020304, 0x0000000500000001ull, QString())
        << hex("12 0000000D 01 00000000 01020304 0000000500000001 00");
    QTest::newRow("data xyz, id 2, chunk 0") << FrameCodec::extFileDataFrame(2, 0, "xyz")
                                             << hex("13 0000000B 01 00000000 00000002 00000000 78797A");
    QTest::newRow("data, chunk 258") << FrameCodec::extFileDataFrame(7, 258, {})
                                     << hex("13 00000008 01 00000000 00000007 00000102");
    QTest::newRow("abort id 9") << FrameCodec::extFileAbortFrame(9) << hex("14 00000004 01 00000000 00000009");
    QTest::newRow("receipt saved id 1") << FrameCodec::extReceiptFrame(1, quint8(FileReceipt::Saved))
                                        << hex("15 00000005 01 00000000 00000001 01");
    QTest::newRow("receipt refused") << FrameCodec::extReceiptFrame(0xA0B0C0D0, quint8(FileReceipt::Refused))
                                     << hex("15 00000005 01 00000000 A0B0C0D0 04");
}

void tst_Frame::encodesExtensionFrames()
{
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, bytes);
    QCOMPARE(frame.toHex(' '), bytes.toHex(' '));
}

void tst_Frame::recognisesAnnouncement_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<int>("version");
    QTest::newRow("announcement") << hex("03 00000000 5441 565201") << 1;
    QTest::newRow("a later version") << hex("03 00000000 5441 565207") << 7;
    QTest::newRow("classic empty rs") << hex("03 00000000 0000 000000") << 0;
    QTest::newRow("marker with a payload") << hex("03 00000001 5441 565201") << 0;
    QTest::newRow("marker on a text") << hex("01 00000000 5441 565201") << 0;
    QTest::newRow("other marker") << hex("03 00000000 5441 565301") << 0;
}

void tst_Frame::recognisesAnnouncement()
{
    QFETCH(QByteArray, header);
    QFETCH(int, version);
    QCOMPARE(int(FrameHeader::decode(header.constData()).announcedVersion()), version);
}

void tst_Frame::parsesFileBegin_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<quint64>("size");
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << hex("00000002 0000000000000003 01 61") << true << quint64(3) << QStringLiteral("a");
    QTest::newRow("path and controls removed")
        << hex("00000001 0000000100000000 0B 2E2E2F6574632F0A70770D") << true << (quint64(1) << 32)
        << QStringLiteral("pw");
    QTest::newRow("name longer than its payload") << hex("00000001 0000000000000000 05 6162") << false
                                                  << quint64(0) << QString();
    QTest::newRow("bytes behind the name") << hex("00000001 0000000000000000 01 61 62") << false << quint64(0)
                                           << QString();
    QTest::newRow("too short") << hex("00000001 00000000") << false << quint64(0) << QString();
    QTest::newRow("invalid UTF-8") << hex("00000001 0000000000000000 02 FF61") << true << quint64(0)
                                   << QStringLiteral("\uFFFDa");
}

void tst_Frame::parsesFileBegin()
{
    QFETCH(QByteArray, payload);
    QFETCH(bool, valid);
    FrameCodec::ExtFileBegin begin;
    QCOMPARE(FrameCodec::parseExtFileBegin(payload, &begin), valid);
    if (!valid)
        return;
    QFETCH(quint64, size);
    QFETCH(QString, name);
    QCOMPARE(begin.size, size);
    QCOMPARE(begin.name, name);
}

void tst_Frame::safeFileName_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("safe");
    QTest::newRow("plain") << QStringLiteral("報告.txt") << QStringLiteral("報告.txt");
    QTest::newRow("unix path") << QStringLiteral("/home/a/b.bin") << QStringLiteral("b.bin");
    QTest::newRow("windows path") << QStringLiteral("C:\\temp\\c.bin") << QStringLiteral("c.bin");
    QTest::newRow("dot dot") << QStringLiteral("..") << QString();
    QTest::newRow("bidi override and tab") << QStringLiteral("a\u202Eb\tc") << QStringLiteral("abc");
    QTest::newRow("long, cut at a character") << QString(100, QChar(0x65E5)) << QString(85, QChar(0x65E5));
    const QString emoji = QStringLiteral("\U0001F600");
    QTest::newRow("emoji not split") << QStringLiteral("x") + emoji.repeated(64) << QStringLiteral("x") + emoji.repeated(63);
}

void tst_Frame::safeFileName()
{
    QFETCH(QString, given);
    QFETCH(QString, safe);
    const QString made = FrameCodec::safeFileName(given);
    QCOMPARE(made, safe);
    QVERIFY(made.toUtf8().size() <= MAX_EXT_NAME);
}

void tst_Frame::extensionFramesKeptWithinLimits_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("kept");
    QTest::newRow("longest text") << FrameCodec::extTextFrame(QByteArray(MAX_EXT_TEXT, 'a')) << true;
    QTest::newRow("text too long") << FrameCodec::extTextFrame(QByteArray(MAX_EXT_TEXT + 1, 'a')) << false;
    QTest::newRow("full data chunk") << FrameCodec::extFileDataFrame(1, 0, filled(EXT_CHUNK_SIZE)) << true;
    QTest::newRow("data chunk too long") << FrameCodec::extFileDataFrame(1, 0, filled(EXT_CHUNK_SIZE + 1)) << false;
    QTest::newRow("longest begin") << FrameCodec::extFileBeginFrame(1, 5, QString(MAX_EXT_NAME, 'n')) << true;
    QTest::newRow("hello too long") << hex("10 00000006 01 00000000 01 00000007 00") << false;
    QTest::newRow("unknown format") << hex("11 00000002 02 00000000 6162") << false;
    QTest::newRow("unknown kind") << hex("16 00000002 01 00000000 6162") << false;
}

void tst_Frame::extensionFramesKeptWithinLimits()
{
    QFETCH(QByteArray, frame);
    QFETCH(bool, kept);
    const QByteArray stream = frame + FrameCodec::textFrame("after");
    for (const int step : {1, 7, 4096, int(stream.size())}) {
        const QList<Decoded> frames = decodeAll(stream, step);
        QCOMPARE(frames.size(), 2);
        const quint32 payloadSize = quint32(frame.size() - FRAME_HEADER_SIZE);
        QCOMPARE(frames[0].payload, kept ? frame.mid(FRAME_HEADER_SIZE) : QByteArray());
        QCOMPARE(frames[0].dropped, kept ? 0u : payloadSize);
        QCOMPARE(frames[1].payload, QByteArray("after"));
    }
}

QTEST_APPLESS_MAIN(tst_Frame)
#include "tst_Frame.moc"
