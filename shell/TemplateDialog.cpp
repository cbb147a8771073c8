#include "TemplateDialog.h"

#include <QKeyEvent>
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
    placeGroupTabStop();
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
    if (readOnly) {
        // A line to read, not a second input: no Tab stop, and the window's
        // colour behind the text. The mouse still reaches it to copy from it.
        QPalette palette = edit->palette();
        for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
            palette.setBrush(group, QPalette::Base, palette.brush(group, QPalette::Window));
        edit->setPalette(palette);
    }
    addControl(id, edit, x, y, w, h, !readOnly);
    return edit;
}

QRadioButton *TemplateDialog::addRadio(int id, const QString &label, int x, int y, int w, int h)
{
    auto *radio = new QRadioButton(label, this);
    radio->setAutoExclusive(true);
    radio->installEventFilter(this);
    connect(radio, &QRadioButton::toggled, this, [this](bool checked) {
        if (checked)
            placeGroupTabStop();
    });
    addControl(id, radio, x, y, w, h, false);
    m_group.append(radio);
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
    widget->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::ClickFocus);
    if (m_lastControl)
        setTabOrder(m_lastControl, widget);
    m_lastControl = widget;
    if (tabStop && !m_firstFocus)
        m_firstFocus = widget;
}

void TemplateDialog::setInitialFocus(int id)
{
    m_firstFocus = control(id);
}

void TemplateDialog::setRoomAbove(int yUnits, int pixels)
{
    const int delta = pixels - m_room;
    if (delta == 0)
        return;
    // Controls moved before are below `top` still.
    const int top = m_units.toPixelsY(yUnits);
    for (QWidget *child : findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (child->geometry().top() >= top)
            child->move(child->x(), child->y() + delta);
    }
    m_room = pixels;
    setFixedSize(width(), height() + delta);
}

bool TemplateDialog::eventFilter(QObject *watched, QEvent *event)
{
    auto *radio = qobject_cast<QRadioButton *>(watched);
    if (radio && event->type() == QEvent::KeyPress && m_group.contains(radio)) {
        switch (static_cast<QKeyEvent *>(event)->key()) {
        case Qt::Key_Right:
        case Qt::Key_Down:
            moveInGroup(radio, 1);
            return true;
        case Qt::Key_Left:
        case Qt::Key_Up:
            moveInGroup(radio, -1);
            return true;
        default:
            break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TemplateDialog::placeGroupTabStop()
{
    QRadioButton *stop = nullptr;
    for (QRadioButton *radio : std::as_const(m_group)) {
        if (!radio->isEnabled())
            continue;
        if (!stop || radio->isChecked())
            stop = radio;
        if (radio->isChecked())
            break;
    }
    for (QRadioButton *radio : std::as_const(m_group))
        radio->setFocusPolicy(radio == stop ? Qt::StrongFocus : Qt::ClickFocus);
}

// In template order rather than by position on screen, round the ends, over
// the disabled buttons; the button reached is checked.
void TemplateDialog::moveInGroup(QRadioButton *from, int step)
{
    const int count = int(m_group.size());
    const int start = int(m_group.indexOf(from));
    for (int i = 1; i < count; ++i) {
        QRadioButton *next = m_group.at(((start + step * i) % count + count) % count);
        if (next->isEnabled()) {
            next->setFocus(step > 0 ? Qt::TabFocusReason : Qt::BacktabFocusReason);
            next->setChecked(true);
            return;
        }
    }
}
