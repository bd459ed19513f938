#include "gui/widgets/info_window.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QLabel>
#include <gtest/gtest.h>

namespace {

// The texts the status line had each time it was painted.
class PaintLog : public QObject {
public:
    QStringList painted;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            painted << static_cast<QLabel*>(watched)->text();
        return false;
    }
};

} // namespace

TEST(InfoWindow, LinesPaintedAtMostEveryIntervalTheNewestAlwaysInTheEnd) {
    TfmInfo info;
    PaintLog log;
    info.txBackup->installEventFilter(&log);
    info.ShowOver(nullptr);
    log.painted.clear();

    // A burst of lines, far more than one per interval: the first is painted
    // at once, then one per interval at most.
    QElapsedTimer clock;
    clock.start();
    const int lines = 2000;
    for (int i = 1; i <= lines; ++i)
        info.SetStatus(QString("file %1").arg(i));
    const qint64 took = clock.elapsed();
    ASSERT_FALSE(log.painted.isEmpty());
    EXPECT_EQ(log.painted.first(), "file 1");
    EXPECT_LE(log.painted.size(), took / TfmInfo::PaintInterval + 1) << took << " ms";
    EXPECT_LT(log.painted.size(), lines);

    // The newest line, when it came too soon, is painted before the wait.
    info.ShowPending();
    EXPECT_EQ(log.painted.last(), QString("file %1").arg(lines));
    const qsizetype paints = log.painted.size();
    info.ShowPending(); // nothing new: nothing painted again
    EXPECT_EQ(log.painted.size(), paints);

    // A line after a pause is painted at once.
    QElapsedTimer pause;
    pause.start();
    while (pause.elapsed() <= TfmInfo::PaintInterval)
        ;
    info.SetStatus("after the pause");
    EXPECT_EQ(log.painted.last(), "after the pause");
}
