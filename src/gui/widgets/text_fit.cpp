#include "gui/widgets/text_fit.h"

#include <QCheckBox>
#include <QEvent>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <unordered_map>
#include <vector>

namespace ui {
namespace {

constexpr const char* kDesignGeometry = "mfDesignGeometry";
constexpr const char* kDesignSize = "mfDesignSize";
constexpr const char* kHint = "mfHint";
constexpr const char* kFooter = "mfFooter";
// Room between a button's frame and its text (with its icon), so the text
// never comes near it: at either side, and less above and below, where a
// button made 25 px high for a 13 px font has no more.
constexpr int kButtonPaddingX = 4;
constexpr int kButtonPaddingY = 2;

// Containers laid out by hand whose children are fitted too. Other composite
// widgets (lists, fields) place their inner parts themselves.
bool IsContainer(const QWidget* w) {
    return qobject_cast<const QGroupBox*>(w) || w->metaObject() == &QFrame::staticMetaObject ||
           w->metaObject() == &QWidget::staticMetaObject;
}

void CollectControls(QWidget* parent, std::vector<QWidget*>& out) {
    for (QObject* child : parent->children()) {
        auto* w = qobject_cast<QWidget*>(child);
        if (!w || w->isWindow() || w->property(kFooter).toBool())
            continue;
        out.push_back(w);
        if (IsContainer(w))
            CollectControls(w, out);
    }
}

QRect DesignOf(QWidget* w) {
    const QVariant v = w->property(kDesignGeometry);
    if (v.isValid())
        return v.toRect();
    w->setProperty(kDesignGeometry, w->geometry());
    return w->geometry();
}

// Where room is added: every design coordinate at or past a break moves by
// the room added there and at every earlier break.
class Stretch {
public:
    int Shift(int x) const {
        int total = 0;
        for (auto it = breaks_.begin(); it != breaks_.end() && it->first <= x; ++it)
            total += it->second;
        return total;
    }
    int Map(int x) const { return x + Shift(x); }
    // The span [from, to) must become at least `need` long.
    void Require(int from, int to, int need) {
        const int missing = need - (Map(to) - Map(from));
        if (missing > 0)
            breaks_[to] += missing;
    }

private:
    std::map<int, int> breaks_;
};

struct Span {
    int from, to, need;
};

// Breaks are added from left to right, so that the room one control gets
// also serves the controls that end further on.
void RequireAll(Stretch& stretch, std::vector<Span> spans) {
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.to < b.to; });
    for (const Span& s : spans)
        stretch.Require(s.from, s.to, s.need);
}

// The least room kept between a grown control and what lies beyond it: at
// the desktop's default font Import's "Items to import:" keeps 3 px to its
// check boxes, and they stay where they were made.
constexpr int kGap = 3;
constexpr int kMargin = 8;
// A field beside a grown control gives up to this part of its width.
constexpr int kFieldGives = 4;
// Buttons this close to the window's edge, or to each other, belong there.
constexpr int kAnchorGap = 12;

struct Control {
    QWidget* w;
    QRect design;       // in the window's coordinates
    QRect parentDesign; // likewise
    TextNeed need;
    bool button;
    // A button at the right edge keeps its distance to it (or to the button
    // it stands beside), however the window grows.
    int anchor = -1; // index of the control it keeps to; -2 the parent's edge
    int gapRight = 0;
};

// Whether a control sits in the middle of its parent (the About box's lines
// and its button): it stays there when the parent grows.
bool Centred(const QRect& r, int parentWidth) {
    return std::abs(r.left() - (parentWidth - r.right() - 1)) <= 2;
}

// Edges one past the rectangle, as the spans count.
int Right(const QRect& r) {
    return r.left() + r.width();
}
int Bottom(const QRect& r) {
    return r.top() + r.height();
}
bool SideBySide(const QRect& a, const QRect& b) {
    return a.top() < Bottom(b) && b.top() < Bottom(a);
}
bool OneAbove(const QRect& a, const QRect& b) {
    return a.left() < Right(b) && b.left() < Right(a);
}

void Fit(QWidget* window) {
    std::vector<QWidget*> widgets;
    CollectControls(window, widgets);

    if (!window->property(kDesignSize).isValid())
        window->setProperty(kDesignSize, window->size());
    const QSize designSize = window->property(kDesignSize).toSize();
    const QRect windowDesign(QPoint(), designSize);

    std::vector<Control> controls;
    std::unordered_map<QWidget*, std::size_t> index;
    for (QWidget* w : widgets) {
        QRect r = DesignOf(w);
        QWidget* p = w->parentWidget();
        const QRect parent = p == window ? windowDesign : controls[index.at(p)].design;
        r.translate(parent.topLeft());
        index[w] = controls.size();
        const bool shown = !w->isHidden();
        controls.push_back({w, r, parent, shown ? TextNeedOf(w) : TextNeed{},
                            shown && qobject_cast<QPushButton*>(w) != nullptr});
    }
    const auto siblings = [&](const Control& c, auto&& fn) {
        for (std::size_t i = 0; i < controls.size(); ++i)
            if (&controls[i] != &c && controls[i].w->parentWidget() == c.w->parentWidget() &&
                !controls[i].w->isHidden())
                fn(i, controls[i]);
    };

    // Buttons at the right edge, and those beside them, stay there.
    for (std::size_t i = 0; i < controls.size(); ++i) {
        Control& c = controls[i];
        if (!c.button)
            continue;
        int nearest = Right(c.parentDesign) - Right(c.design);
        int anchor = nearest <= kAnchorGap ? -2 : -1;
        siblings(c, [&](std::size_t j, const Control& s) {
            const int gap = s.design.left() - Right(c.design);
            if (gap >= 0 && gap < nearest && SideBySide(c.design, s.design)) {
                nearest = gap;
                anchor = s.button && gap <= kAnchorGap ? int(j) : -1;
            }
        });
        c.anchor = anchor;
        c.gapRight = nearest;
    }
    const auto anchored = [&](const Control& c) {
        const Control* a = &c;
        while (a->anchor >= 0)
            a = &controls[a->anchor];
        return a->anchor == -2;
    };

    std::vector<Span> across, down;
    // Fields that give way to the control before them: field, control, the
    // room from the control's left edge to the field's.
    struct GiveWay {
        std::size_t field, before;
        int room;
    };
    std::vector<GiveWay> giveWay;
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const Control& c = controls[i];
        const QRect r = c.design;
        if (c.need.valid()) {
            const int width = c.button ? std::max(r.width(), c.need.width) : c.need.width;
            const int height = std::max(0, c.need.height);
            siblings(c, [&](std::size_t j, const Control& s) {
                if (s.design.left() >= Right(r) && SideBySide(r, s.design)) {
                    const int room = width + std::min(s.design.left() - Right(r), kGap);
                    if (qobject_cast<QLineEdit*>(s.w)) {
                        // A field keeps its right edge and gives up to a
                        // quarter of its width before what lies beyond moves:
                        // it shows the start of its text, and the rest in its
                        // tooltip.
                        const int keeps = s.design.width() - s.design.width() / kFieldGives;
                        across.push_back({r.left(), Right(s.design), room + keeps});
                        giveWay.push_back({j, i, room});
                    } else {
                        across.push_back({r.left(), s.design.left(), room});
                    }
                }
                if (s.design.top() >= Bottom(r) && OneAbove(r, s.design))
                    down.push_back({r.top(), s.design.top(),
                                    height + std::min(s.design.top() - Bottom(r), kGap)});
            });
            const QRect p = c.parentDesign;
            across.push_back({r.left(), Right(p), width + std::min(Right(p) - Right(r), kMargin)});
            down.push_back({r.top(), Bottom(p), height + std::min(Bottom(p) - Bottom(r), kMargin)});
        }
        if (c.button && anchored(c)) {
            // The whole row of buttons, from this one to the edge.
            int room = 0;
            for (const Control* a = &c;; a = &controls[a->anchor]) {
                room += std::max(a->design.width(), a->need.width) + a->gapRight;
                if (a->anchor < 0)
                    break;
            }
            across.push_back({r.left(), Right(c.parentDesign), room});
        }
        // A group's title needs the room above its first control.
        if (auto* group = qobject_cast<QGroupBox*>(c.w); group && !group->isHidden()) {
            int firstTop = r.height();
            for (const Control& child : controls)
                if (child.w->parentWidget() == group && !child.w->isHidden())
                    firstTop = std::min(firstTop, child.design.top() - r.top());
            down.push_back({r.top(), r.top() + firstTop, group->fontMetrics().height() + kGap});
        }
    }
    Stretch x, y;
    RequireAll(x, across);
    RequireAll(y, down);

    std::vector<QRect> placed(controls.size());
    const auto mapped = [&](const QRect& r) {
        return QRect(QPoint(x.Map(r.left()), y.Map(r.top())),
                     QPoint(x.Map(Right(r)) - 1, y.Map(Bottom(r)) - 1));
    };
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const Control& c = controls[i];
        QRect now = mapped(c.design);
        if (c.need.valid() && !c.button)
            now.setSize(now.size().expandedTo(QSize(c.need.width, c.need.height)));
        placed[i] = now;
    }
    for (const GiveWay& g : giveWay) {
        QRect& field = placed[g.field];
        field.setLeft(std::max(field.left(), placed[g.before].left() + g.room));
    }
    // Anchored buttons: from the edge leftwards, each as wide as it needs.
    const auto parentNow = [&](const Control& c) {
        QWidget* p = c.w->parentWidget();
        return p == window ? QRect(0, 0, x.Map(designSize.width()), y.Map(designSize.height()))
                           : placed[index.at(p)];
    };
    std::function<int(std::size_t)> leftOf = [&](std::size_t i) -> int {
        const Control& c = controls[i];
        const int width = std::max(c.design.width(), c.need.width);
        const int right = c.anchor == -2 ? parentNow(c).left() + parentNow(c).width() - c.gapRight
                                         : leftOf(std::size_t(c.anchor)) - c.gapRight;
        return right - width;
    };
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const Control& c = controls[i];
        if (!c.button)
            continue;
        QRect& now = placed[i];
        const int width = std::max(c.design.width(), c.need.width);
        now.setHeight(std::max(now.height(), c.need.height));
        if (anchored(c))
            now.moveLeft(leftOf(i));
        now.setWidth(width);
    }
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const Control& c = controls[i];
        const QRect parent = parentNow(c);
        const QRect local = c.design.translated(-c.parentDesign.topLeft());
        if (Centred(local, c.parentDesign.width()))
            placed[i].moveLeft(parent.left() + (parent.width() - placed[i].width()) / 2);
        c.w->setGeometry(placed[i].translated(-parent.topLeft()));
    }

    QSize size(x.Map(designSize.width()), y.Map(designSize.height()));
    for (auto* footer : window->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!footer->property(kFooter).toBool() || footer->isHidden())
            continue;
        const int width = size.width() - 2 * kMargin;
        const int height = footer->heightForWidth(width);
        footer->setGeometry(kMargin, size.height(), width, height);
        size.rheight() += height + kMargin;
    }
    if (window->minimumSize() == window->maximumSize())
        window->setFixedSize(size);
    else
        window->resize(size.expandedTo(window->size()));
}

class TextFitter : public QObject {
public:
    explicit TextFitter(QWidget* window) : QObject(window), window_(window) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != window_)
            return false;
        switch (event->type()) {
        case QEvent::Show:
            if (!event->spontaneous())
                Fit(window_);
            break;
        case QEvent::FontChange:
        case QEvent::ApplicationFontChange:
        case QEvent::StyleChange:
            // The controls take the new font after the window does.
            QTimer::singleShot(0, this, [this] {
                if (window_)
                    Fit(window_);
            });
            break;
        default:
            break;
        }
        return false;
    }

private:
    QPointer<QWidget> window_;
};

void UpdatePathTip(QLineEdit* edit) {
    const QString hint = edit->property(kHint).toString();
    const QString text = edit->text();
    const int frame = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, edit);
    const int room = edit->contentsRect().width() - 2 * frame - 4;
    const bool cut = edit->fontMetrics().horizontalAdvance(text) > room;
    if (!cut || text.isEmpty())
        edit->setToolTip(hint);
    else
        edit->setToolTip(hint.isEmpty() ? text : hint + "\n" + text);
}

class PathStart : public QObject {
public:
    explicit PathStart(QLineEdit* edit) : QObject(edit), edit_(edit) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == edit_ && event->type() == QEvent::FocusOut)
            edit_->setCursorPosition(0);
        if (watched == edit_ && event->type() == QEvent::Resize)
            UpdatePathTip(edit_);
        return false;
    }
    void TextChanged() {
        // A text the program put in shows its start; one being typed keeps
        // the cursor where the typing goes on.
        if (!edit_->hasFocus() && !edit_->isModified())
            edit_->setCursorPosition(0);
        UpdatePathTip(edit_);
    }

private:
    QLineEdit* edit_;
};

} // namespace

TextNeed TextNeedOf(const QWidget* control) {
    const QFontMetrics fm = control->fontMetrics();
    QStyle* style = control->style();
    if (qobject_cast<const QCheckBox*>(control) || qobject_cast<const QRadioButton*>(control)) {
        const bool radio = qobject_cast<const QRadioButton*>(control) != nullptr;
        const int indicator = style->pixelMetric(radio ? QStyle::PM_ExclusiveIndicatorHeight
                                                       : QStyle::PM_IndicatorHeight,
                                                 nullptr, control);
        return {control->sizeHint().width(), std::max(fm.height(), indicator)};
    }
    if (auto* button = qobject_cast<const QPushButton*>(control)) {
        int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, control);
        if (button->autoDefault() || button->isDefault())
            frame += style->pixelMetric(QStyle::PM_ButtonDefaultIndicator, nullptr, control);
        int width = fm.horizontalAdvance(button->text());
        int height = fm.height() + 2 * kButtonPaddingY;
        if (!button->icon().isNull()) {
            width += button->iconSize().width() + 4;
            height = std::max(height, button->iconSize().height());
        }
        return {width + 2 * (frame + kButtonPaddingX), height + 2 * frame};
    }
    if (auto* label = qobject_cast<const QLabel*>(control)) {
        if (label->text().isEmpty())
            return {};
        const QMargins m = label->contentsMargins();
        const int extra = 2 * label->margin() + std::max(label->indent(), 0);
        if (label->wordWrap()) // wraps: only its height grows
            return {0, label->heightForWidth(label->width())};
        return {fm.horizontalAdvance(label->text()) + m.left() + m.right() + extra,
                fm.height() + m.top() + m.bottom() + extra};
    }
    if (auto* group = qobject_cast<const QGroupBox*>(control)) {
        QStyleOptionGroupBox option;
        option.initFrom(group);
        option.text = group->title();
        option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
        option.rect = QRect(0, 0, 10000, 1000);
        const QRect title =
            style->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group);
        return {title.left() + title.width() + title.left(), 0};
    }
    if (qobject_cast<const QLineEdit*>(control))
        return {0, control->sizeHint().height()};
    return {};
}

void KeepTextVisible(QWidget* window) {
    // The first fit happens when the window is first shown: a derived dialog
    // may still change texts and sizes after its base made the controls.
    window->installEventFilter(new TextFitter(window));
}

void SetFooter(QLabel* line) {
    line->setProperty(kFooter, true);
    line->setWordWrap(true);
}

void FitNow(QWidget* window) {
    Fit(window);
}

void ShowPathStart(QLineEdit* edit) {
    edit->setProperty(kHint, edit->toolTip());
    auto* keeper = new PathStart(edit);
    edit->installEventFilter(keeper);
    QObject::connect(edit, &QLineEdit::textChanged, keeper, &PathStart::TextChanged);
    keeper->TextChanged();
}

} // namespace ui
