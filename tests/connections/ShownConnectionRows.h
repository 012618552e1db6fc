#pragma once

#include "connections/ConnectionModel.h"
#include "connections/ConnectionWidget.h"
#include "connections/ConnectionWindow.h"

#include <QLabel>
#include <QStringList>
#include <QTableView>

// What a Connections page shows for each row it does not hide, in order: the text of the row widget
// where one is open over the row, else the text the delegate paints.
inline QStringList shownRows(const ConnectionWindow& page) {
    QStringList rows;
    for (int row = 0; row < page.model()->rowCount(); ++row) {
        if (page.table()->isRowHidden(row))
            continue;
        const QModelIndex index = page.model()->index(row, 0);
        if (auto* widget = qobject_cast<ConnectionWidget*>(page.table()->indexWidget(index)))
            rows << widget->findChild<QLabel*>("TextLabel")->text();
        else
            rows << index.data(Qt::DisplayRole).toString();
    }
    return rows;
}
