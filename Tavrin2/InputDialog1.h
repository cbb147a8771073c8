#pragma once

#include "Frame.h"
#include "TemplateDialog.h"

#include <QString>

#include <array>

// The Station's client-choice dialog (template 130): one radio button per
// slot of the client table, enabled for occupied slots, "全端末" after them
// for the commands that may go to every Terminal, and a text field. OK
// needs a choice; with one occupied slot it is chosen already.
class CInputDialog : public TemplateDialog
{
    Q_OBJECT

public:
    enum ControlId {
        IDC_TEXT = 1000,
        IDC_SLOT0 = 1002,
        IDC_ALL = 1012,
    };
    // m_nSelected when "全端末" was chosen.
    static constexpr qint32 ALL_SLOTS = MAX_CLIENTS + 1;

    explicit CInputDialog(QWidget *parent = nullptr);

    // Set before DoModal: nonzero for each occupied slot.
    std::array<qint32, MAX_CLIENTS> m_slotUsed {};
    // Set before DoModal: who holds each occupied slot, the tooltip of its
    // radio button, so that the operator knows whom a slot number means.
    std::array<QString, MAX_CLIENTS> m_slotPeer;
    // The chosen slot, ALL_SLOTS, or MAX_CLIENTS for none; recorded when the
    // dialog goes away.
    qint32 m_nSelected = MAX_CLIENTS;
    // The text of edit 1000, taken on OK only.
    QString m_text;
    // Set before DoModal: false for a command that sends no text, which
    // hides the text field.
    bool m_withText = true;
    // Set before DoModal: true to offer "全端末".
    bool m_offerAll = false;

    void accept() override;

protected:
    void OnInitDialog() override;
    void storeData() override;
    void OnDestroy() override;

private:
    // The checked slot among the occupied ones, ALL_SLOTS, or MAX_CLIENTS.
    qint32 checkedSlot() const;
};
