#pragma once

#include "InputDialog1.h"

#include <QStringList>

class QComboBox;

// Start's prompt: the prompt dialog whose input line is an editable list
// of Stations, the first of them in the line, so that Enter connects to it.
class CStationPrompt : public CInputDialog
{
    Q_OBJECT

public:
    explicit CStationPrompt(const QStringList &stations, QWidget *parent = nullptr);

    QComboBox *stations() const { return m_stations; }

protected:
    void OnInitDialog() override;

private:
    QComboBox *m_stations;
};
