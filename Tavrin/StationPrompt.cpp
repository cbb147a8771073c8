#include "StationPrompt.h"

#include <QComboBox>
#include <QLineEdit>

CStationPrompt::CStationPrompt(const QStringList &stations, QWidget *parent)
    : CInputDialog(parent)
    , m_stations(new QComboBox(this))
{
    // The input line goes into the list's place and keeps its id, its
    // data exchange and its place in the tab order.
    auto *input = static_cast<QLineEdit *>(control(IDC_TEXT));
    m_stations->setGeometry(input->geometry());
    m_stations->setEditable(true);
    m_stations->setLineEdit(input);
    m_stations->setInsertPolicy(QComboBox::NoInsert);
    // An address typed in full is the one connected to, never a longer one completed in line.
    m_stations->setCompleter(nullptr);
    m_stations->setAccessibleName(QStringLiteral("接続した局"));
    m_stations->addItems(stations);
    setTabOrder(control(IDCANCEL), m_stations);
    setTabOrder(m_stations, control(IDC_PROMPT));
}

void CStationPrompt::OnInitDialog()
{
    CInputDialog::OnInitDialog();
    // Typing replaces the offered address.
    static_cast<QLineEdit *>(control(IDC_TEXT))->selectAll();
}
