// Compares views for a log that only grows: the cost of appending one entry per event-loop pass
// (append, scroll to the end, paint) near the start and near the end of a long log. The list box
// of the chat window (EntryListView, a one-column table) against a QListView over the same model.
//
//   QT_QPA_PLATFORM=offscreen bench_logviews [--total N]

#include "benchmain.h"
#include "net/entrylistmodel.h"
#include "ui/entrylistview.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QListView>
#include <QScrollBar>
#include <QTableView>
#include <cstdio>
#include <functional>
#include <memory>

namespace {

QString entry(int n)
{
    return QStringLiteral("benchB>line %1\t12:34:56").arg(n);
}

// One entry per pass: appended, scrolled to, painted.
double msPer1000(QAbstractItemView &view, EntryListModel &model, int lines)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < lines; ++i) {
        model.append(entry(model.size() + 1));
        view.scrollToBottom();
        QCoreApplication::processEvents();
    }
    return double(timer.nsecsElapsed()) / 1e6 / lines * 1000.0;
}

void fill(QAbstractItemView &view, EntryListModel &model, int entries)
{
    while (model.size() < entries) {
        for (int i = 0; i < 1000 && model.size() < entries; ++i)
            model.append(entry(model.size() + 1));
        view.scrollToBottom();
        QCoreApplication::processEvents();
    }
}

} // namespace

int main(int argc, char *argv[])
{
    Bench::preferOffscreen();
    QApplication application(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption totalOption(QStringLiteral("total"), QStringLiteral("Entries at the end."),
                                         QStringLiteral("N"), QStringLiteral("100000"));
    Bench::parseCommandLine(parser, {totalOption}, Bench::Lan::InMemory);
    const int total = parser.value(totalOption).toInt();
    const int lines = 1000;

    struct Candidate
    {
        const char *name;
        std::function<std::unique_ptr<QAbstractItemView>()> make;
    };
    const Candidate candidates[] = {
        {"QListView, uniform item sizes (the earlier log)",
         [] {
             auto view = std::make_unique<QListView>();
             view->setUniformItemSizes(true);
             view->setSelectionMode(QAbstractItemView::MultiSelection);
             return view;
         }},
        {"EntryListView (one-column table, fixed rows)", [] { return std::make_unique<EntryListView>(); }},
    };

    std::printf("%-48s %22s %22s\n", "view", "ms/1000 at start", "ms/1000 at the end");
    for (const Candidate &candidate : candidates) {
        EntryListModel model;
        auto view = candidate.make();
        view->setModel(&model);
        view->resize(342, 256);
        view->show();
        QCoreApplication::processEvents();
        const double atStart = msPer1000(*view, model, lines);
        fill(*view, model, total - lines);
        const double atEnd = msPer1000(*view, model, lines);
        const QScrollBar *bar = view->verticalScrollBar();
        std::printf("%-48s %22.1f %22.1f%s\n", candidate.name, atStart, atEnd,
                    bar->value() == bar->maximum() ? "" : "  (not at the end!)");
        std::fflush(stdout);
    }
    return 0;
}
