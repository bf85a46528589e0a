// A drop-down list whose text can only be one of its entries.
#pragma once

#include <QComboBox>

class ListSelector : public QComboBox {
    Q_OBJECT
public:
    explicit ListSelector(QWidget* parent = nullptr);

    // Selects the entry equal to text.  A text that is no entry is refused:
    // false, and the selection stays as it was.
    bool setListText(const QString& text);
};
