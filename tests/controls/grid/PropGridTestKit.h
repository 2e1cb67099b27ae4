#pragma once

#include "controls/propgrid/PropGrid.h"
#include "controls/propgrid/PropGridItemEdit.h"
#include "controls/propgrid/PropGridList.h"
#include "controls/common/NotifyEvent.h"

#include <QHash>
#include <QList>
#include <QScrollBar>
#include <QTest>
#include <QWidget>
#include <functional>

// A parent that records the grid's notifications, in order, and answers
// each with `veto` (non-zero cancels where the grid allows a veto).
class NotifySink : public QWidget
{
public:
    struct Note
    {
        int code;
        CPropGridItem *item;
        int controlId;
    };
    QList<Note> notes;
    std::function<qintptr(int code, CPropGridItem *item)> veto;

    bool event(QEvent *event) override
    {
        if (event->type() != CNotifyEvent::notifyType())
            return QWidget::event(event);
        auto *note = static_cast<CNotifyEvent *>(event);
        auto *item = note->itemAs<CPropGridItem>();
        notes.append({note->code(), item, note->controlId()});
        note->result = veto ? veto(note->code(), item) : 0;
        return true;
    }
    int count(int code) const
    {
        int n = 0;
        for (const Note &note : notes)
            n += note.code == code;
        return n;
    }
    QList<int> codes() const
    {
        QList<int> list;
        for (const Note &note : notes)
            list.append(note.code);
        return list;
    }
};

// A shown grid of 400 by 500 pixels (a 300-pixel list pane) inside a sink.
struct GridFixture
{
    NotifySink sink;
    CPropGrid *grid;
    QHash<QString, CPropGridItem *> rows;

    explicit GridFixture(quint32 style = PGS_NOTIFY)
    {
        sink.resize(400, 500);
        grid = new CPropGrid(&sink, style);
        grid->setGeometry(0, 0, 400, 500);
        sink.show();
        sink.activateWindow();
        QVERIFY(QTest::qWaitForWindowExposed(&sink));
        QVERIFY(QTest::qWaitForWindowActive(&sink));
    }
    CPropGridList *list() const { return grid->GetListPane(); }
    QWidget *viewport() const { return list()->viewport(); }

    CPropGridItem *group(const QString &name, const QString &label, bool expanded = true)
    {
        auto *row = new CPropGridItem;
        row->SetLabel(label);
        row->SetExpanded(expanded);
        grid->AddItem(row);
        return rows[name] = row;
    }
    CPropGridItemEdit *edit(const QString &name, CPropGridItem *parent, const QString &value)
    {
        auto *row = new CPropGridItemEdit;
        row->SetLabel(name);
        row->SetValue(value);
        grid->AddItem(row, parent);
        rows[name] = row;
        return row;
    }
    CPropGridItemStatic *fixed(const QString &name, CPropGridItem *parent, const QString &value)
    {
        auto *row = new CPropGridItemStatic;
        row->SetLabel(name);
        row->SetValue(value);
        row->SetFlag(PGIF_READONLY, true);
        grid->AddItem(row, parent);
        rows[name] = row;
        return row;
    }

    int centreY(const CPropGridItem *row) const { return list()->rowRect(row).center().y(); }
    QPoint labelPoint(const CPropGridItem *row) const { return {grid->GetSplitter() - 30, centreY(row)}; }
    QPoint valuePoint(const CPropGridItem *row) const { return {grid->GetSplitter() + 40, centreY(row)}; }
    QPoint buttonPoint(const CPropGridItem *row) const
    {
        return row->GetExpandRect().center() - QPoint(0, grid->GetScrollY());
    }
    void click(const QPoint &at) { QTest::mouseClick(viewport(), Qt::LeftButton, {}, at); }
};
