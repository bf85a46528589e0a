#include "app/listselector.h"

ListSelector::ListSelector(QWidget* parent) : QComboBox(parent) {
    setEditable(false);
}

bool ListSelector::setListText(const QString& text) {
    const int index = findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index < 0) return false;
    setCurrentIndex(index);
    return true;
}
