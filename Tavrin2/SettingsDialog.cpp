#include "SettingsDialog.h"

#include "AddressFilter.h"
#include "Frame.h"
#include "Platform.h"
#include "SerialPort.h"
#include "SettingsFields.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTextBlock>
#include <QTextCursor>
#include <QVBoxLayout>

CSettingsDialog::CSettingsDialog(IPlatform &desktop, const StationSettings &settings,
                                 const QList<SerialPortName> &ports, QWidget *parent)
    : QDialog(parent)
    , m_desktop(desktop)
    , m_allowed(new QPlainTextEdit(this))
    , m_listen(new QLineEdit(this))
    , m_perAddress(new QSpinBox(this))
    , m_serialDevice(new QComboBox(this))
    , m_storedSerialDevice(settings.serialDevice)
{
    setWindowTitle(QStringLiteral("設定"));

    auto *allowedLabel = new QLabel(QStringLiteral("接続を許可するアドレス(&A):"), this);
    allowedLabel->setBuddy(m_allowed);
    m_allowed->setObjectName(QStringLiteral("allowedTerminals"));
    m_allowed->setAccessibleName(QStringLiteral("接続を許可するアドレス"));
    m_allowed->setTabChangesFocus(true);
    m_allowed->setLineWrapMode(QPlainTextEdit::NoWrap);
    auto *allowedHint = new QLabel(QStringLiteral("1 行に 1 つ、192.168.1.5、192.168.1.0/24、fd00::/8 のように。\n"
                                                  "空なら、どのアドレスからも接続できます。"),
                                   this);

    auto *listenLabel = new QLabel(QStringLiteral("待ち受けアドレス(&L):"), this);
    listenLabel->setBuddy(m_listen);
    m_listen->setObjectName(QStringLiteral("listenAddress"));
    m_listen->setAccessibleName(QStringLiteral("待ち受けアドレス"));
    m_listen->setPlaceholderText(QStringLiteral("すべてのアドレス"));
    auto *listenHint = new QLabel(QStringLiteral("待ち受けアドレスは、次に待ち受けを始めるときから使われます。\n"
                                                 "待ち受け中に変えたときは、プログラムを起動し直してください。"),
                                  this);

    auto *perAddressLabel = new QLabel(QStringLiteral("1 つのアドレスから同時に接続できる端末の数(&N):"), this);
    perAddressLabel->setBuddy(m_perAddress);
    m_perAddress->setObjectName(QStringLiteral("maxConnectionsPerAddress"));
    m_perAddress->setAccessibleName(QStringLiteral("1 つのアドレスから同時に接続できる端末の数"));
    m_perAddress->setRange(0, MAX_CLIENTS);
    m_perAddress->setSpecialValueText(QStringLiteral("制限なし"));
    auto *perAddressHint = new QLabel(QStringLiteral("同じコンピューターや同じルーターの向こうの端末は、同じアドレスから接続します。"),
                                      this);

    auto *serialLabel = new QLabel(QStringLiteral("シリアルポート(&S):"), this);
    serialLabel->setBuddy(m_serialDevice);
    m_serialDevice->setObjectName(QStringLiteral("serialDevice"));
    m_serialDevice->setAccessibleName(QStringLiteral("シリアルポート"));
    m_serialDevice->setEditable(true);
    m_serialDevice->setInsertPolicy(QComboBox::NoInsert);
    m_serialDevice->addItem(QStringLiteral("なし"), QString::fromLatin1(CSerialPort::NoDevice));
    for (const SerialPortName &port : ports) {
        const QString description = port.description.isEmpty() ? QString() : QStringLiteral("　") + port.description;
        m_serialDevice->addItem(QStringLiteral("%1（%2）%3").arg(port.portName, port.systemLocation, description),
                                port.systemLocation);
    }
    const QString overriding = CSerialPort::overridingDevice();
    const QString shownDevice = overriding.isEmpty() ? settings.serialDevice : overriding;
    if (m_serialDevice->findData(shownDevice) < 0)
        m_serialDevice->addItem(QFileInfo::exists(shownDevice) ? shownDevice
                                                               : QStringLiteral("%1（見つかりません）").arg(shownDevice),
                                shownDevice);
    m_serialDevice->setCurrentIndex(m_serialDevice->findData(shownDevice));
    m_serialDevice->setEnabled(overriding.isEmpty());
    auto *serialHint = new QLabel(overriding.isEmpty()
                                      ? QStringLiteral("一覧にない装置は、/dev/serial/by-id/… のようにパスを書いてください。\n"
                                                       "OK を押すと、すぐにそのシリアルポートに切り替えます。")
                                      : QStringLiteral("環境変数 TAVRIN2_COM1 で %1 が指定されているため、ここでは選べません。")
                                            .arg(overriding),
                                  this);
    serialHint->setObjectName(QStringLiteral("serialDeviceHint"));

    auto *ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setDefault(true);
    auto *cancel = new QPushButton(QStringLiteral("キャンセル"), this);
    connect(ok, &QPushButton::clicked, this, &CSettingsDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &CSettingsDialog::reject);

    auto *listenRow = new QHBoxLayout;
    listenRow->addWidget(listenLabel);
    listenRow->addWidget(m_listen, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(allowedLabel);
    layout->addWidget(m_allowed, 1);
    layout->addWidget(allowedHint);
    layout->addLayout(listenRow);
    layout->addWidget(listenHint);
    m_historyDays = SettingsFields::addHistoryDays(layout, this);
    // Made after the buttons: Tab reaches it in its place on screen.
    setTabOrder(m_listen, m_historyDays);
    auto *perAddressRow = new QHBoxLayout;
    perAddressRow->addWidget(perAddressLabel);
    perAddressRow->addWidget(m_perAddress);
    perAddressRow->addStretch(1);
    layout->addLayout(perAddressRow);
    layout->addWidget(perAddressHint);
    auto *serialRow = new QHBoxLayout;
    serialRow->addWidget(serialLabel);
    serialRow->addWidget(m_serialDevice, 1);
    layout->addLayout(serialRow);
    layout->addWidget(serialHint);
    layout->addLayout(buttons);
    resize(420, 380);
    m_allowed->setPlainText(settings.allowedTerminals.join(QLatin1Char('\n')));
    m_listen->setText(settings.listenAddress);
    m_historyDays->setValue(settings.historyDays);
    m_perAddress->setValue(settings.maxConnectionsPerAddress);
}

StationSettings CSettingsDialog::settings() const
{
    StationSettings settings;
    for (const QString &line : m_allowed->toPlainText().split(QLatin1Char('\n'))) {
        if (!line.trimmed().isEmpty())
            settings.allowedTerminals.append(line.trimmed());
    }
    settings.listenAddress = listenAddress();
    settings.historyDays = m_historyDays->value();
    settings.maxConnectionsPerAddress = m_perAddress->value();
    settings.serialDevice = m_serialDevice->isEnabled() ? serialDevice() : m_storedSerialDevice;
    return settings;
}

QString CSettingsDialog::serialDevice() const
{
    const QString text = m_serialDevice->currentText().trimmed();
    const int listed = m_serialDevice->findText(text);
    return listed >= 0 ? m_serialDevice->itemData(listed).toString() : text;
}

QString CSettingsDialog::listenAddress() const
{
    return m_listen->text().trimmed();
}

void CSettingsDialog::accept()
{
    const QStringList lines = m_allowed->toPlainText().split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString entry = lines.at(i).trimmed();
        if (entry.isEmpty() || AddressFilter::parseEntry(entry))
            continue;
        m_desktop.messageBox(
            QStringLiteral("接続を許可するアドレスの %1 行目「%2」は、アドレスでもアドレスの範囲でもありません。\n"
                           "192.168.1.5、192.168.1.0/24、fd00::/8 のように、1 行に 1 つ書いてください。")
                .arg(i + 1)
                .arg(entry));
        QTextCursor cursor(m_allowed->document()->findBlockByNumber(i));
        cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        m_allowed->setTextCursor(cursor);
        m_allowed->setFocus();
        return;
    }
    if (!listenAddress().isEmpty() && QHostAddress(listenAddress()).isNull()) {
        m_desktop.messageBox(QStringLiteral("待ち受けアドレス「%1」は、正しいアドレスではありません。\n"
                                            "192.168.1.10 のようにこのコンピューターのアドレスを書くか、"
                                            "空にしてすべてのアドレスで待ち受けてください。")
                                 .arg(listenAddress()));
        m_listen->selectAll();
        m_listen->setFocus();
        return;
    }
    const QString device = serialDevice();
    if (m_serialDevice->isEnabled() && device != QLatin1String(CSerialPort::NoDevice) && !QDir::isAbsolutePath(device)) {
        m_desktop.messageBox(QStringLiteral("シリアルポート「%1」は、一覧のポートでも装置のパスでもありません。\n"
                                            "一覧から選ぶか、/dev/ttyUSB0 のように装置のパスを書いてください。"
                                            "使わないときは「なし」を選んでください。")
                                 .arg(m_serialDevice->currentText()));
        m_serialDevice->lineEdit()->selectAll();
        m_serialDevice->setFocus();
        return;
    }
    QDialog::accept();
}
