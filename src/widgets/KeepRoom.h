#pragma once
// A control that comes and goes with an option keeps its room while hidden,
// so the controls after it stay where the operator's pointer found them.

#include <QHBoxLayout>
#include <QSizePolicy>
#include <QWidget>

namespace qvt {

// For box and grid layouts, which keep a hidden widget's room on request.
inline void KeepRoomWhenHidden(QWidget* w)
{
    QSizePolicy policy = w->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    w->setSizePolicy(policy);
}

// For a form layout, which drops a row whose widget is hidden: the widget in
// a holder that stays, its room kept inside it.
inline QWidget* HolderKeepingRoom(QWidget* w)
{
    auto* holder = new QWidget(w->parentWidget());
    auto* row = new QHBoxLayout(holder);
    row->setContentsMargins(0, 0, 0, 0);
    KeepRoomWhenHidden(w);
    row->addWidget(w);
    return holder;
}

} // namespace qvt
