#include "ui/AppRowView.h"

#include <QActionGroup>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QMenu>
#include <QPainter>
#include <QPointer>
#include <QVBoxLayout>
#include <algorithm>
#include <map>

#include "ui/AppIconView.h"
#include "ui/Controls.h"
#include "ui/DevicePickerView.h"
#include "ui/Icons.h"
#include "ui/MuteButton.h"
#include "ui/Theme.h"
#include "ui/VUMeterView.h"

namespace tobble::ui {

QString percentText(double volume) { return QString::asprintf("%.0f%%", volume * 100.0); }

namespace {

// Under the name: the meter and the icon with the spacing after each.
constexpr int kNoteIndent = 15 + 8 + 24 + 8;

// Names of the devices seen in this run, by uid: a device that has gone is still named.
std::map<std::string, QString>& seenOutputNames() {
    static std::map<std::string, QString> names;
    return names;
}

QIcon tintedIcon(const QString& symbol) {
    QPixmap pixmap(QSize(32, 32));
    pixmap.setDevicePixelRatio(2.0);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    paintIcon(painter, QRectF(0, 0, 16, 16), symbol, 11, Weight::Medium, Tobble::textPrimary());
    return QIcon(pixmap);
}

}  // namespace

AppRowView::AppRowView(const AppClient& client, Callbacks callbacks, QWidget* parent)
    : QWidget(parent),
      client_(client),
      callbacks_(std::move(callbacks)),
      hover_(0, [this] { update(); }) {
    setAttribute(Qt::WA_Hover);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto* column = new QVBoxLayout(this);
    // 12 × 10 inside the hover wash, which is itself inset 4 × 2.
    column->setContentsMargins(16, 12, 16, 12);
    column->setSpacing(4);
    auto* layout = new QHBoxLayout();
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    column->addLayout(layout);

    meter_ = VUMeterView::makeRowMeter(this);
    icon_ = new AppIconView(this);
    name_ = new TextView(QString::fromStdString(client.name), 12, Weight::Medium,
                         Tobble::textPrimary(), this);
    // The slider gets the row's spare width, up to 100; a long name is elided instead.
    name_->setMinimumWidth(50);
    name_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    outputIcon_ = new PaintedButton(
        QSize(14, 14),
        [this](QPainter& painter, const QRectF& bounds, const PaintedButton::State&) {
            paintIcon(painter, bounds, outputSymbol(), 10, Weight::Medium, Tobble::textSecondary());
        },
        this);
    outputIcon_->setFixedSize(14, 14);
    outputIcon_->setFocusPolicy(Qt::NoFocus);
    outputIcon_->setAttribute(Qt::WA_TransparentForMouseEvents);
    outputIcon_->hide();
    outputNote_ = new TextView({}, 11, Weight::Regular, Tobble::warning(), this);
    // The panel's 320 less the row's margins and the indent under the name.
    outputNote_->setWordWrap(320 - 16 - 16 - kNoteIndent - 8);
    outputNote_->hide();
    slider_ = new Slider(this);
    slider_->setMinimumWidth(100);
    slider_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    percent_ = new TextView({}, 11, Weight::Medium, Tobble::textSecondary(), this);
    percent_->setFont(uiFont(11, Weight::Medium, true));
    percent_->setFixedWidth(32);
    percent_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    muteButton_ = new MuteButton(this);

    layout->addWidget(meter_, 0, Qt::AlignVCenter);
    layout->addWidget(icon_, 0, Qt::AlignVCenter);
    layout->addWidget(name_, 1, Qt::AlignVCenter);
    layout->addWidget(outputIcon_, 0, Qt::AlignVCenter);
    layout->addWidget(slider_, 2, Qt::AlignVCenter);
    layout->addWidget(percent_, 0, Qt::AlignVCenter);
    layout->addWidget(muteButton_, 0, Qt::AlignVCenter);
    auto* noteRow = new QHBoxLayout();
    noteRow->setContentsMargins(kNoteIndent, 0, 0, 0);
    noteRow->addWidget(outputNote_);
    column->addLayout(noteRow);

    connect(slider_, &Slider::userValueChanged, this, [this](double v) { userMovedSlider(v); });
    connect(slider_, &QAbstractSlider::sliderPressed, this, [this] {
        if (callbacks_.onDragStarted) callbacks_.onDragStarted();
    });
    connect(slider_, &QAbstractSlider::sliderMoved, this, [this] {
        if (callbacks_.onDragStarted) callbacks_.onDragStarted();
    });
    connect(slider_, &QAbstractSlider::sliderReleased, this, [this] {
        if (callbacks_.onDragEnded) callbacks_.onDragEnded();
    });
    connect(muteButton_, &QAbstractButton::clicked, this, [this] {
        if (callbacks_.onMuteToggle) callbacks_.onMuteToggle();
    });

    icon_->setIcon(client.icon);
    slider_->setMaximumF(client.volumeLimit);
    slider_->setValueF(client.volume);
    percent_->setText(percentText(client.volume));
    nameControls();
    applyMuted();
    setLevel(client.rmsLevel);
    renderOutput();
}

AppRowView::~AppRowView() {
    if (menu_) menu_->close();
}

void AppRowView::nameControls() {
    const QString name = QString::fromStdString(client_.name);
    slider_->setAccessibleName(QStringLiteral("%1 volume").arg(name));
    muteButton_->setSubject(name);
}

void AppRowView::userMovedSlider(double value) {
    // Moving a muted application's slider makes it audible at the new volume, once: the view
    // model's fresh record may arrive only after several moves, so the row's own copy changes
    // now.
    if (client_.isMuted && callbacks_.onMuteToggle) {
        client_.isMuted = false;
        applyMuted();
        callbacks_.onMuteToggle();
    }
    client_.volume = static_cast<float>(value);
    percent_->setText(percentText(client_.volume));
    if (callbacks_.onVolumeChange) callbacks_.onVolumeChange(client_.volume);
}

void AppRowView::setClient(const AppClient& client) {
    const bool mutedChanged = client.isMuted != client_.isMuted;
    const bool renamed = client.name != client_.name;
    client_ = client;
    name_->setText(QString::fromStdString(client.name));
    if (renamed) nameControls();
    icon_->setIcon(client.icon);
    if (!slider_->isSliderDown()) {
        slider_->setMaximumF(client.volumeLimit);
        slider_->setValueF(client.volume);
    }
    percent_->setText(percentText(client.volume));
    if (mutedChanged) applyMuted();
    setLevel(client.rmsLevel);
    renderOutput();
}

void AppRowView::setOutputs(std::vector<OutputDevice> devices, const QString& defaultName) {
    for (const auto& device : devices)
        seenOutputNames()[device.uid] = QString::fromStdString(device.name);
    outputs_ = std::move(devices);
    defaultOutputName_ = defaultName;
    renderOutput();
}

QString AppRowView::outputSymbol() const {
    if (client_.output.empty()) return {};
    const auto name = seenOutputNames().find(client_.output);
    return DevicePickerView::deviceIcon(
        name == seenOutputNames().end() ? client_.output : name->second.toStdString());
}

QString AppRowView::outputNote() const {
    if (client_.output.empty()) return {};
    const bool there = std::any_of(outputs_.begin(), outputs_.end(),
                                   [&](const OutputDevice& d) { return d.uid == client_.output; });
    if (there) return {};
    const auto name = seenOutputNames().find(client_.output);
    const QString device =
        name == seenOutputNames().end() ? QString::fromStdString(client_.output) : name->second;
    return QStringLiteral("%1 unavailable \u2014 playing on %2")
        .arg(device, defaultOutputName_.isEmpty() ? QStringLiteral("the default output")
                                                  : defaultOutputName_);
}

void AppRowView::renderOutput() {
    const bool pinned = !client_.output.empty();
    const QString note = outputNote();
    const bool changed = outputIcon_->isVisible() != pinned || outputNote_->text() != note ||
                         outputNote_->isVisible() != !note.isEmpty();
    outputIcon_->setVisible(pinned);
    // The symbol takes its room from the slider, so the row stays within the panel.
    slider_->setMinimumWidth(pinned ? 100 - 14 - 8 : 100);
    const auto name = seenOutputNames().find(client_.output);
    outputIcon_->setToolTip(pinned ? QStringLiteral("Plays on %1")
                                         .arg(name == seenOutputNames().end()
                                                  ? QString::fromStdString(client_.output)
                                                  : name->second)
                                   : QString());
    outputIcon_->update();
    outputNote_->setText(note);
    outputNote_->setVisible(!note.isEmpty());
    if (changed) updateGeometry();
}

void AppRowView::setLevel(float level) {
    client_.rmsLevel = level;
    meter_->setLevel(client_.isMuted ? 0.0f : level);
}

void AppRowView::applyMuted() {
    const bool muted = client_.isMuted;
    icon_->setDimmed(muted);
    name_->setColor(muted ? Tobble::textTertiary() : Tobble::textPrimary());
    percent_->setColor(muted ? Tobble::textTertiary() : Tobble::textSecondary());
    slider_->setTint(muted ? Tobble::textTertiary() : Tobble::accent());
    muteButton_->setMuted(muted);
    meter_->setLevel(muted ? 0.0f : client_.rmsLevel);
}

QStringList AppRowView::contextMenuTitles() const {
    QStringList titles;
    if (callbacks_.onOutputChange) titles << QStringLiteral("Output");
    if (callbacks_.onHide) titles << QStringLiteral("Hide ") + QString::fromStdString(client_.name);
    return titles;
}

void AppRowView::addOutputMenu(QMenu& menu) {
    QMenu* outputs = menu.addMenu(tintedIcon("hifispeaker"), QStringLiteral("Output"));
    QPointer<AppRowView> self(this);
    // One choice of many: drawn, and read to screen readers, as radio items.
    auto* group = new QActionGroup(outputs);
    group->setExclusive(true);
    const auto choice = [&](const QString& title, const std::string& uid) {
        QAction* action = outputs->addAction(title);
        action->setCheckable(true);
        group->addAction(action);
        action->setChecked(client_.output == uid);
        connect(action, &QAction::triggered, outputs, [self, uid] {
            if (self && self->callbacks_.onOutputChange) self->callbacks_.onOutputChange(uid);
        });
    };
    choice(QString::fromLatin1(kSystemOutputTitle), {});
    outputs->addSeparator();
    for (const auto& device : outputs_) choice(QString::fromStdString(device.name), device.uid);
    // A device of the row's own that is away stays listed, checked, so that it can be seen.
    if (!outputNote().isEmpty()) {
        const auto name = seenOutputNames().find(client_.output);
        choice(
            name == seenOutputNames().end() ? QString::fromStdString(client_.output) : name->second,
            client_.output);
    }
}

void AppRowView::contextMenuEvent(QContextMenuEvent* event) {
    // From the keyboard (the Menu key) the menu opens below the name rather than at the pointer.
    const QPoint at = event->reason() == QContextMenuEvent::Keyboard
                          ? name_->mapToGlobal(QPoint(0, name_->height()))
                          : event->globalPos();
    openContextMenu(at);
    event->accept();
}

void AppRowView::openContextMenu(QPoint globalPosition) {
    const QStringList titles = contextMenuTitles();
    if (titles.isEmpty()) return;
    if (menu_) menu_->close();
    // The panel can close, and delete this row, while the menu is open (Escape, the shortcut, a
    // script). So the menu runs without a nested event loop, is owned by no row, and reaches
    // the row only while it still exists.
    auto* menu = new QMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    if (callbacks_.onOutputChange) addOutputMenu(*menu);
    if (callbacks_.onHide) {
        QAction* hide = menu->addAction(tintedIcon("eye.slash"), titles.back());
        QPointer<AppRowView> self(this);
        connect(hide, &QAction::triggered, menu, [self] {
            if (self) self->requestHide();
        });
    }
    menu_ = menu;
    menu->popup(globalPosition);
}

void AppRowView::enterEvent(QEnterEvent* event) {
    hover_.animateTo(1.0, Motion::easeInOut(0.12));
    QWidget::enterEvent(event);
}

void AppRowView::leaveEvent(QEvent* event) {
    hover_.animateTo(0.0, Motion::easeInOut(0.12));
    QWidget::leaveEvent(event);
}

void AppRowView::paintEvent(QPaintEvent*) {
    if (hover_.value() <= 0) return;
    QPainter painter(this);
    fillRounded(painter, QRectF(rect()).adjusted(4, 2, -4, -2), 10,
                Tobble::inkAt(0.025 * hover_.value()));
}

}  // namespace tobble::ui
