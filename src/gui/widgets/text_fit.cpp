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

// Fields that give way to the control before them: field, control, the room
// from the control's left edge to the field's.
struct GiveWay {
    std::size_t field, before;
    int room;
};

// One fit of a window: the design of its controls read, room added across
// and down wherever a text needs it, then each control placed in the
// stretched design and the window sized to hold them.
class Fitting {
public:
    explicit Fitting(QWidget* window) : window_(window) {}

    void Run() {
        ReadDesign();
        AnchorButtons();
        for (std::size_t i = 0; i < controls_.size(); ++i) {
            RequireTextRoom(i);
            RequireButtonRow(controls_[i]);
            RequireGroupTitle(controls_[i]);
        }
        RequireAll(x_, across_);
        RequireAll(y_, down_);
        Place();
        PlaceButtons();
        SetGeometries();
        SizeWindow();
    }

private:
    void ReadDesign() {
        std::vector<QWidget*> widgets;
        CollectControls(window_, widgets);
        if (!window_->property(kDesignSize).isValid())
            window_->setProperty(kDesignSize, window_->size());
        designSize_ = window_->property(kDesignSize).toSize();
        const QRect windowDesign(QPoint(), designSize_);
        for (QWidget* w : widgets) {
            QRect r = DesignOf(w);
            QWidget* p = w->parentWidget();
            const QRect parent = p == window_ ? windowDesign : controls_[index_.at(p)].design;
            r.translate(parent.topLeft());
            index_[w] = controls_.size();
            const bool shown = !w->isHidden();
            controls_.push_back({w, r, parent, shown ? TextNeedOf(w) : TextNeed{},
                                 shown && qobject_cast<QPushButton*>(w) != nullptr});
        }
    }

    // Calls fn(index, control) for each shown control beside `c` in its parent.
    template <typename Fn> void ForSiblings(const Control& c, Fn&& fn) const {
        for (std::size_t i = 0; i < controls_.size(); ++i)
            if (&controls_[i] != &c && controls_[i].w->parentWidget() == c.w->parentWidget() &&
                !controls_[i].w->isHidden())
                fn(i, controls_[i]);
    }

    // Buttons at the right edge, and those beside them, stay there.
    void AnchorButtons() {
        for (Control& c : controls_) {
            if (!c.button)
                continue;
            int nearest = Right(c.parentDesign) - Right(c.design);
            int anchor = nearest <= kAnchorGap ? -2 : -1;
            ForSiblings(c, [&](std::size_t j, const Control& s) {
                const int gap = s.design.left() - Right(c.design);
                if (gap >= 0 && gap < nearest && SideBySide(c.design, s.design)) {
                    nearest = gap;
                    anchor = s.button && gap <= kAnchorGap ? int(j) : -1;
                }
            });
            c.anchor = anchor;
            c.gapRight = nearest;
        }
    }

    bool Anchored(const Control& c) const {
        const Control* a = &c;
        while (a->anchor >= 0)
            a = &controls_[a->anchor];
        return a->anchor == -2;
    }

    // The room control `i`'s text needs: to what lies right of it and below
    // it, and to its parent's edges.
    void RequireTextRoom(std::size_t i) {
        const Control& c = controls_[i];
        if (!c.need.valid())
            return;
        const QRect r = c.design;
        const int width = c.button ? std::max(r.width(), c.need.width) : c.need.width;
        const int height = std::max(0, c.need.height);
        ForSiblings(c, [&](std::size_t j, const Control& s) {
            if (s.design.left() >= Right(r) && SideBySide(r, s.design)) {
                const int room = width + std::min(s.design.left() - Right(r), kGap);
                if (qobject_cast<QLineEdit*>(s.w)) {
                    // A field keeps its right edge and gives up to a quarter
                    // of its width before what lies beyond moves: it shows
                    // the start of its text, and the rest in its tooltip.
                    const int keeps = s.design.width() - s.design.width() / kFieldGives;
                    across_.push_back({r.left(), Right(s.design), room + keeps});
                    giveWay_.push_back({j, i, room});
                } else {
                    across_.push_back({r.left(), s.design.left(), room});
                }
            }
            if (s.design.top() >= Bottom(r) && OneAbove(r, s.design))
                down_.push_back(
                    {r.top(), s.design.top(), height + std::min(s.design.top() - Bottom(r), kGap)});
        });
        const QRect p = c.parentDesign;
        across_.push_back({r.left(), Right(p), width + std::min(Right(p) - Right(r), kMargin)});
        down_.push_back({r.top(), Bottom(p), height + std::min(Bottom(p) - Bottom(r), kMargin)});
    }

    // An anchored button needs the whole row of buttons, from it to the edge.
    void RequireButtonRow(const Control& c) {
        if (!c.button || !Anchored(c))
            return;
        int room = 0;
        for (const Control* a = &c;; a = &controls_[a->anchor]) {
            room += std::max(a->design.width(), a->need.width) + a->gapRight;
            if (a->anchor < 0)
                break;
        }
        across_.push_back({c.design.left(), Right(c.parentDesign), room});
    }

    // A group's title needs the room above its first control.
    void RequireGroupTitle(const Control& c) {
        auto* group = qobject_cast<QGroupBox*>(c.w);
        if (!group || group->isHidden())
            return;
        const QRect r = c.design;
        int firstTop = r.height();
        for (const Control& child : controls_)
            if (child.w->parentWidget() == group && !child.w->isHidden())
                firstTop = std::min(firstTop, child.design.top() - r.top());
        down_.push_back({r.top(), r.top() + firstTop, group->fontMetrics().height() + kGap});
    }

    // Each control at its stretched design place, grown to its text; fields
    // given way.
    void Place() {
        placed_.resize(controls_.size());
        for (std::size_t i = 0; i < controls_.size(); ++i) {
            const Control& c = controls_[i];
            const QRect& r = c.design;
            QRect now(QPoint(x_.Map(r.left()), y_.Map(r.top())),
                      QPoint(x_.Map(Right(r)) - 1, y_.Map(Bottom(r)) - 1));
            if (c.need.valid() && !c.button)
                now.setSize(now.size().expandedTo(QSize(c.need.width, c.need.height)));
            placed_[i] = now;
        }
        for (const GiveWay& g : giveWay_) {
            QRect& field = placed_[g.field];
            field.setLeft(std::max(field.left(), placed_[g.before].left() + g.room));
        }
    }

    QRect ParentNow(const Control& c) const {
        QWidget* p = c.w->parentWidget();
        return p == window_ ? QRect(0, 0, x_.Map(designSize_.width()), y_.Map(designSize_.height()))
                            : placed_[index_.at(p)];
    }

    // Where anchored button `i` starts: from the edge leftwards, each button
    // as wide as it needs.
    int LeftOf(std::size_t i) const {
        const Control& c = controls_[i];
        const int width = std::max(c.design.width(), c.need.width);
        const int right = c.anchor == -2 ? ParentNow(c).left() + ParentNow(c).width() - c.gapRight
                                         : LeftOf(std::size_t(c.anchor)) - c.gapRight;
        return right - width;
    }

    void PlaceButtons() {
        for (std::size_t i = 0; i < controls_.size(); ++i) {
            const Control& c = controls_[i];
            if (!c.button)
                continue;
            QRect& now = placed_[i];
            const int width = std::max(c.design.width(), c.need.width);
            now.setHeight(std::max(now.height(), c.need.height));
            if (Anchored(c))
                now.moveLeft(LeftOf(i));
            now.setWidth(width);
        }
    }

    // Centred controls stay in the middle of their parent.
    void SetGeometries() {
        for (std::size_t i = 0; i < controls_.size(); ++i) {
            const Control& c = controls_[i];
            const QRect parent = ParentNow(c);
            const QRect local = c.design.translated(-c.parentDesign.topLeft());
            if (Centred(local, c.parentDesign.width()))
                placed_[i].moveLeft(parent.left() + (parent.width() - placed_[i].width()) / 2);
            c.w->setGeometry(placed_[i].translated(-parent.topLeft()));
        }
    }

    // The stretched design, and the footers under it.
    void SizeWindow() {
        QSize size(x_.Map(designSize_.width()), y_.Map(designSize_.height()));
        for (auto* footer : window_->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (!footer->property(kFooter).toBool() || footer->isHidden())
                continue;
            const int width = size.width() - 2 * kMargin;
            const int height = footer->heightForWidth(width);
            footer->setGeometry(kMargin, size.height(), width, height);
            size.rheight() += height + kMargin;
        }
        if (window_->minimumSize() == window_->maximumSize())
            window_->setFixedSize(size);
        else
            window_->resize(size.expandedTo(window_->size()));
    }

    QWidget* window_;
    QSize designSize_;
    std::vector<Control> controls_;
    std::unordered_map<QWidget*, std::size_t> index_;
    std::vector<Span> across_, down_;
    std::vector<GiveWay> giveWay_;
    Stretch x_, y_;
    std::vector<QRect> placed_;
};

void Fit(QWidget* window) {
    Fitting(window).Run();
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
