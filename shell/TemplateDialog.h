#pragma once

#include "DialogUnits.h"

#include <QDialog>
#include <QList>
#include <QMap>

class QAbstractButton;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// A modal dialog laid out from a dialog template: size and control
// positions in dialog units, controls known by their template ids (object
// name "id<N>"), tab order the order in which controls are added, and the
// initial focus on the first tab stop unless the dialog names another. The
// radio buttons form one group with one Tab stop: the checked button, else
// the first enabled one; the arrow keys move within it. Result codes
// are those of the templates: 1 for OK (IDOK), 2 for Cancel (IDCANCEL, also
// Esc and the close box).
class TemplateDialog : public QDialog
{
    Q_OBJECT

public:
    enum Result { IDOK = 1, IDCANCEL = 2 };
    // Id of template controls that nobody addresses (labels, icons).
    static constexpr int IDC_STATIC = -1;

    TemplateDialog(const QString &caption, int widthUnits, int heightUnits, QWidget *parent = nullptr);

    QWidget *control(int id) const { return m_controls.value(id); }
    const DialogUnits &units() const { return m_units; }

    // Runs the dialog modally: OnInitDialog, the modal loop, then OnDestroy.
    // IDOK or IDCANCEL.
    int DoModal();

    // OK (also Enter on the default button): store the data, then close.
    void accept() override;
    void reject() override;

protected:
    QPushButton *addButton(int id, const QString &label, int x, int y, int w, int h, bool isDefault);
    QLineEdit *addEdit(int id, int x, int y, int w, int h, bool readOnly = false);
    QRadioButton *addRadio(int id, const QString &label, int x, int y, int w, int h);
    QLabel *addStatic(int id, const QString &text, int x, int y, int w, int h);
    void addControl(int id, QWidget *widget, int x, int y, int w, int h, bool tabStop = true);
    // Where the focus starts, instead of the first Tab stop.
    void setInitialFocus(int id);
    // Makes `pixels` of room above the controls whose top is at `yUnits` or
    // below: they move down and the dialog grows, for a text that comes and
    // goes. Always the same `yUnits` for one dialog.
    void setRoomAbove(int yUnits, int pixels);

    // Data exchange hooks: fill controls before showing; read them back on OK.
    virtual void OnInitDialog() {}
    virtual void storeData() {}
    // Runs when the dialog window goes away, after OK and Cancel alike.
    virtual void OnDestroy() {}

    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void placeGroupTabStop();
    void moveInGroup(QRadioButton *from, int step);

    DialogUnits m_units;
    QMap<int, QWidget *> m_controls;
    QList<QRadioButton *> m_group;
    QWidget *m_lastControl = nullptr;
    QWidget *m_firstFocus = nullptr;
    int m_room = 0;
};
