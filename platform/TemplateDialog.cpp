#include "TemplateDialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <limits>

TemplateDialog::TemplateDialog(const QString &caption, int widthUnits, int heightUnits, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
    , m_units(DialogUnits::templateFont())
{
    setFont(DialogUnits::templateFont());
    setWindowTitle(caption);
    setFixedSize(m_units.size(widthUnits, heightUnits));
}

int TemplateDialog::DoModal()
{
    OnInitDialog();
    if (m_firstFocus)
        m_firstFocus->setFocus(Qt::OtherFocusReason);
    const int code = exec() == IDOK ? IDOK : IDCANCEL;
    OnDestroy();
    return code;
}

void TemplateDialog::accept()
{
    storeData();
    done(IDOK);
}

void TemplateDialog::reject()
{
    done(IDCANCEL);
}

QPushButton *TemplateDialog::addButton(int id, const QString &label, int x, int y, int w, int h, bool isDefault)
{
    auto *button = new QPushButton(label, this);
    button->setDefault(isDefault);
    button->setAutoDefault(true);
    addControl(id, button, x, y, w, h);
    if (id == IDOK)
        connect(button, &QPushButton::clicked, this, &TemplateDialog::accept);
    else if (id == IDCANCEL)
        connect(button, &QPushButton::clicked, this, &TemplateDialog::reject);
    return button;
}

QLineEdit *TemplateDialog::addEdit(int id, int x, int y, int w, int h, bool readOnly)
{
    auto *edit = new QLineEdit(this);
    // The programs check lengths themselves and say so; the field never cuts a text short.
    edit->setMaxLength(std::numeric_limits<int>::max());
    edit->setReadOnly(readOnly);
    addControl(id, edit, x, y, w, h);
    return edit;
}

QRadioButton *TemplateDialog::addRadio(int id, const QString &label, int x, int y, int w, int h)
{
    auto *radio = new QRadioButton(label, this);
    radio->setAutoExclusive(true);
    addControl(id, radio, x, y, w, h, false);
    return radio;
}

QLabel *TemplateDialog::addStatic(int id, const QString &text, int x, int y, int w, int h)
{
    auto *label = new QLabel(this);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    addControl(id, label, x, y, w, h, false);
    return label;
}

void TemplateDialog::addControl(int id, QWidget *widget, int x, int y, int w, int h, bool tabStop)
{
    widget->setGeometry(m_units.rect(x, y, w, h));
    if (id != IDC_STATIC) {
        widget->setObjectName(QStringLiteral("id%1").arg(id));
        m_controls.insert(id, widget);
    }
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        widget->setAccessibleName(button->text());
    if (qobject_cast<QLabel *>(widget))
        return;
    if (!tabStop) {
        // Reached by the mouse and, inside a group, by the arrow keys only.
        widget->setFocusPolicy(Qt::ClickFocus);
        return;
    }
    widget->setFocusPolicy(Qt::StrongFocus);
    if (m_lastTabStop)
        setTabOrder(m_lastTabStop, widget);
    else
        m_firstFocus = widget;
    m_lastTabStop = widget;
}
