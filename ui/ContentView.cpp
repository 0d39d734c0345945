#include "ui/ContentView.h"

#include <QDateTime>
#include <QEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <set>

#include "engine/core/Identity.h"
#include "services/TobbleAudioService.h"
#include "ui/Accessibility.h"
#include "ui/AppRowView.h"
#include "ui/Controls.h"
#include "ui/DevicePickerView.h"
#include "ui/Icons.h"
#include "ui/MuteButton.h"
#include "ui/SettingsView.h"
#include "ui/Theme.h"

namespace tobble::ui {

namespace {

// Seconds from 1970-01-01 to the clock's reference date, 2001-01-01.
constexpr double kReferenceDateOffset = 978307200.0;
constexpr int kPanelWidth = 320;

const std::array<const char*, 32> kTaglines = {
    "handles your sound.", "has got your sound.",  "fixes your sound.",
    "makes sound behave.", "sorts your sound.",    "runs your sound.",
    "tames your sound.",   "routes your sound.",   "fixed it.",
    "did that.",           "handled it.",          "made it work.",
    "saved your ears.",    "doesn't miss.",        "keeps it together.",
    "knows what's up.",    "keeps things quiet.",  "heard that.",
    "is on it. Relax.",    "cleaned that up.",     "did the thing.",
    "does sound stuff.",   "but for sound.",       "makes it less bad.",
    "obviously.",          "just\u2026 works.",    "is your guy.",
    "got your ears.",      "has acouph\u00e8nes.", "the jukebox.",
    "has soft ears.",      "is sound sensitive.",
};

std::string boolText(bool value) { return value ? "true" : "false"; }
std::string volumeText(double value) { return QString::asprintf("%.3f", value).toStdString(); }

// The product's word mark, drawn as text 14 pt tall.
class WordMark : public QWidget {
  public:
    explicit WordMark(QWidget* parent) : QWidget(parent) {
        setFont(uiFont(17, Weight::Bold));
        setAccessibleName("Tobble");
        const QFontMetricsF metrics(font());
        setFixedSize(static_cast<int>(std::ceil(metrics.horizontalAdvance("Tobble"))) + 3, 18);
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setFont(font());
        painter.setPen(Tobble::textPrimary());
        painter.drawText(QRectF(rect()).adjusted(2, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter,
                         "Tobble");
    }
};

QWidget* padded(QWidget* child, QMargins margins, QWidget* parent) {
    auto* box = new QWidget(parent);
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(margins);
    layout->setSpacing(0);
    child->setParent(box);
    layout->addWidget(child);
    return box;
}

}  // namespace

// ---- SystemVolumeRow

SystemVolumeRow::SystemVolumeRow(app::TobbleAudioService& service, const log::Logger& logger,
                                 QWidget* parent)
    : QWidget(parent), service_(service), logger_(logger), alive_(std::make_shared<bool>(true)) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 8, 16, 8);
    layout->setSpacing(8);
    slider_ = new Slider(this);
    slider_->setAccessibleName("System volume");
    slider_->setMaximumWidth(QWIDGETSIZE_MAX);
    percent_ = new TextView({}, 11, Weight::Medium, Tobble::textSecondary(), this);
    percent_->setFont(uiFont(11, Weight::Medium, true));
    percent_->setFixedWidth(32);
    percent_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    muteButton_ = new MuteButton(this);
    muteButton_->setSubject("system volume");
    layout->addWidget(slider_, 1);
    layout->addWidget(percent_);
    layout->addWidget(muteButton_);

    connect(slider_, &Slider::userValueChanged, this, [this](double v) { userMovedSlider(v); });
    connect(slider_, &Slider::editingChanged, this, [this](bool editing) { setEditing(editing); });
    connect(muteButton_, &QAbstractButton::clicked, this, [this] { toggleMute(); });
    render();
}

SystemVolumeRow::~SystemVolumeRow() {
    *alive_ = false;
    if (listening_) service_.unregisterSystemVolumeListener();
}

void SystemVolumeRow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    appear();
}

void SystemVolumeRow::hideEvent(QHideEvent* event) {
    disappear();
    QWidget::hideEvent(event);
}

void SystemVolumeRow::appear() {
    if (listening_) return;
    systemVolume_ = service_.getSystemVolume();
    isSystemMuted_ = service_.getSystemMute();
    logger_.info("System slider onAppear volume=" + volumeText(systemVolume_) +
                 " muted=" + boolText(isSystemMuted_));
    render();
    listening_ = true;
    std::weak_ptr<bool> alive = alive_;
    service_.registerSystemVolumeListener([this, alive](float volume, bool muted) {
        if (auto a = alive.lock(); a && *a) listenerCallback(volume, muted);
    });
}

void SystemVolumeRow::disappear() {
    if (!listening_) return;
    logger_.info("System slider onDisappear");
    listening_ = false;
    service_.unregisterSystemVolumeListener();
}

void SystemVolumeRow::listenerCallback(float volume, bool muted) {
    logger_.info("System volume listener callback volume=" + volumeText(volume) +
                 " muted=" + boolText(muted) + " dragging=" + boolText(isDraggingVolume_));
    isSystemMuted_ = muted;
    if (!isDraggingVolume_) {
        systemVolume_ = volume;
        logger_.info("System slider UI updated from listener -> " + volumeText(volume));
    }
    render();
}

void SystemVolumeRow::userMovedSlider(double value) {
    logger_.info("UI slider set -> " + volumeText(value) + " muted=" + boolText(isSystemMuted_));
    if (isSystemMuted_) {
        isSystemMuted_ = false;
        service_.setSystemMute(false);
    }
    systemVolume_ = value;
    service_.setSystemVolume(static_cast<float>(value));
    render();
}

void SystemVolumeRow::setEditing(bool editing) {
    isDraggingVolume_ = editing;
    logger_.info("UI slider editing changed -> " + boolText(editing));
}

void SystemVolumeRow::toggleMute() {
    isSystemMuted_ = !isSystemMuted_;
    service_.setSystemMute(isSystemMuted_);
    render();
}

void SystemVolumeRow::render() {
    slider_->setValueF(systemVolume_);
    slider_->setTint(isSystemMuted_ ? Tobble::textTertiary() : Tobble::accent());
    percent_->setText(percentText(systemVolume_));
    percent_->setColor(isSystemMuted_ ? Tobble::textTertiary() : Tobble::textSecondary());
    muteButton_->setMuted(isSystemMuted_);
}

// ---- ContentView

QString ContentView::dailyTagline(const QDate& day) {
    const int ordinal = day.isValid() ? day.dayOfYear() : 1;
    return QString::fromUtf8(kTaglines[static_cast<size_t>((std::max(ordinal, 1) - 1) % 32)]);
}

bool ContentView::shouldShowFeedbackBanner(double dismissedAt, double now) {
    return dismissedAt <= 0 || now - dismissedAt > kBannerQuietPeriod;
}

ContentView::ContentView(PanelContext& context, QWidget* parent)
    : QWidget(parent), context_(context), logger_(engine::logSubsystem(), "ContentView") {
    setAttribute(Qt::WA_TranslucentBackground);
    setAccessibleName("Tobble");
    setFixedWidth(kPanelWidth);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    outer->setSizeConstraint(QLayout::SetMinAndMaxSize);

    main_ = new QWidget(this);
    auto* column = new QVBoxLayout(main_);
    column->setContentsMargins(4, 0, 4, 4);
    column->setSpacing(0);
    column->addWidget(buildHeader());
    banner_ = buildBanner();
    column->addWidget(banner_);
    dividerWithoutBanner_ = new Divider(0, main_);
    column->addWidget(dividerWithoutBanner_);

    systemRow_ = new SystemVolumeRow(context_.audioService, logger_, main_);
    column->addWidget(systemRow_);
    column->addWidget(new Divider(0, main_));

    emptyState_ = buildEmptyState();
    column->addWidget(emptyState_);

    scroll_ = new QScrollArea(main_);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setWidgetResizable(true);
    scroll_->setFocusPolicy(Qt::NoFocus);
    // The list sits on the panel's own surface.
    scroll_->setStyleSheet(
        "QScrollArea, QScrollArea > QWidget > QWidget { background: transparent; }");
    listContainer_ = new QWidget();
    listContainer_->setAutoFillBackground(false);
    listLayout_ = new QVBoxLayout(listContainer_);
    listLayout_->setContentsMargins(0, 2, 0, 2);
    listLayout_->setSpacing(0);
    listLayout_->addStretch(1);
    scroll_->setWidget(listContainer_);
    column->addWidget(scroll_);
    column->addWidget(new Divider(0, main_));

    picker_ = new DevicePickerView(context_.audioService, context_.environment.audio,
                                   context_.environment.defaults, main_);
    column->addWidget(picker_);
    outer->addWidget(main_);
    // The rows' "Output" menus offer the picker's devices and say when their own one is away.
    picker_->setDevicesShown([this] {
        for (const auto& [id, row] : rows_)
            row->setOutputs(picker_->devices(), picker_->currentDeviceName());
    });

    observation_ = context_.viewModel.observe({
        .clientsChanged = [this](const std::vector<AppClient>&) { refresh(); },
        .levelsChanged =
            [this](const app::AudioClientViewModel::Levels& levels) { applyLevels(levels); },
        .panelOpenChanged = nullptr,
    });
    hiddenObservation_ =
        context_.hiddenApps.observe([this](const app::HiddenAppsStore::HiddenApps&) {
            // The store reports on the thread that changed it; the views only ever change it here.
            refresh();
        });
    refresh();
}

ContentView::~ContentView() {
    observation_.reset();
    hiddenObservation_.reset();
}

double ContentView::now() const {
    return context_.environment.dispatcher.clock().absoluteTime() + kReferenceDateOffset;
}

QString ContentView::dailyTagline() const {
    return dailyTagline(QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(now() * 1000)).date());
}

bool ContentView::shouldShowFeedbackBanner() const {
    return shouldShowFeedbackBanner(context_.environment.defaults.number(kBannerDismissedAtKey),
                                    now());
}

std::vector<ContentView::AppClient> ContentView::visibleClients() const {
    std::vector<AppClient> visible;
    for (const auto& client : context_.viewModel.clients()) {
        if (!context_.hiddenApps.isHidden(client.bundleID)) visible.push_back(client);
    }
    return visible;
}

QWidget* ContentView::buildHeader() {
    auto* header = new QWidget(main_);
    auto* layout = new QHBoxLayout(header);
    layout->setContentsMargins(8, 12, 8, 12);
    layout->setSpacing(8);
    layout->addWidget(new WordMark(header), 0, Qt::AlignVCenter);
    tagline_ = new TextView(dailyTagline(), 14, Weight::Semibold, Tobble::textTertiary(), header);
    // Set against the word mark's baseline: the tagline reads as the rest of its sentence.
    tagline_->setContentsMargins(0, 0, 0, 0);
    auto* taglineBox = padded(tagline_, QMargins(0, 0, 0, 2), header);
    layout->addWidget(taglineBox, 1, Qt::AlignVCenter);
    settingsButton_ = new PaintedButton(
        QSize(28, 28),
        [](QPainter& painter, const QRectF& bounds, const PaintedButton::State&) {
            fillRounded(painter, bounds, 6, Tobble::border());
            paintIcon(painter, bounds, "gearshape", 13, Weight::Medium, Tobble::textSecondary());
        },
        header);
    settingsButton_->setIconStyle(true);
    settingsButton_->setFixedSize(28, 28);
    settingsButton_->setToolTip("Settings");
    settingsButton_->setAccessibleName("Settings");
    connect(settingsButton_, &QAbstractButton::clicked, this, [this] { openSettings(); });
    layout->addWidget(settingsButton_, 0, Qt::AlignVCenter);
    return header;
}

QWidget* ContentView::buildBanner() {
    auto* banner = new QWidget(main_);
    auto* outer = new QVBoxLayout(banner);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    auto* pillBox = new QWidget(banner);
    auto* pillBoxLayout = new QVBoxLayout(pillBox);
    pillBoxLayout->setContentsMargins(8, 0, 8, 10);

    auto* pill = new QWidget(pillBox);
    pill->setObjectName("bannerPill");
    auto* pillLayout = new QHBoxLayout(pill);
    pillLayout->setContentsMargins(12, 8, 12, 8);
    pillLayout->setSpacing(4);
    const QString text = "Enjoying Tobble? Give us your feedback!";
    const QFont font = uiFont(11, Weight::Medium);
    const int textWidth = static_cast<int>(std::ceil(QFontMetricsF(font).horizontalAdvance(text)));
    auto* link = new PaintedButton(
        QSize(textWidth + 12, 16),
        [text, font](QPainter& painter, const QRectF& bounds, const PaintedButton::State&) {
            paintIcon(painter, QRectF(bounds.left(), bounds.center().y() - 3, 6, 6), "heart.fill",
                      8, Weight::Bold, Tobble::accent());
            painter.setFont(font);
            painter.setPen(Tobble::accent());
            painter.drawText(bounds.adjusted(12, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, text);
        },
        pill);
    link->setFixedSize(link->sizeHint());
    link->setAccessibleName(text);
    connect(link, &QAbstractButton::clicked, this, [this] {
        if (context_.shell.openURL) context_.shell.openURL(kFeedbackURL);
    });
    bannerDismiss_ = new PaintedButton(
        QSize(16, 16),
        [](QPainter& painter, const QRectF& bounds, const PaintedButton::State&) {
            paintIcon(painter, bounds, "xmark", 8, Weight::Bold, Tobble::textTertiary());
        },
        pill);
    bannerDismiss_->setFixedSize(16, 16);
    bannerDismiss_->setAccessibleName("Dismiss");
    bannerDismiss_->setToolTip("Dismiss");
    connect(bannerDismiss_, &QAbstractButton::clicked, this, [this] { dismissBanner(); });
    pillLayout->addWidget(link);
    pillLayout->addStretch(1);
    pillLayout->addWidget(bannerDismiss_);
    pillBoxLayout->addWidget(pill);
    outer->addWidget(pillBox);
    outer->addWidget(new Divider(0, banner));
    return banner;
}

QWidget* ContentView::buildEmptyState() {
    auto* empty = new QWidget(main_);
    auto* layout = new QVBoxLayout(empty);
    layout->setContentsMargins(16, 24, 16, 24);
    layout->setSpacing(12);
    auto* tile = new PaintedButton(
        QSize(44, 44),
        [](QPainter& painter, const QRectF& bounds, const PaintedButton::State&) {
            fillRounded(painter, bounds, 10, Tobble::border());
            paintIcon(painter, bounds, "speaker.slash", 18, Weight::Medium, Tobble::textTertiary());
        },
        empty);
    tile->setFixedSize(44, 44);
    tile->setFocusPolicy(Qt::NoFocus);
    tile->setAttribute(Qt::WA_TransparentForMouseEvents);
    tile->setCursor(Qt::ArrowCursor);
    auto* title =
        new TextView("No audio playing", 13, Weight::Semibold, Tobble::textPrimary(), empty);
    title->setAlignment(Qt::AlignCenter);
    auto* detail = new TextView("Open an app and start playing audio", 12, Weight::Regular,
                                Tobble::textSecondary(), empty);
    detail->setAlignment(Qt::AlignCenter);
    layout->addWidget(tile, 0, Qt::AlignHCenter);
    auto* texts = new QVBoxLayout();
    texts->setSpacing(4);
    texts->addWidget(title, 0, Qt::AlignHCenter);
    texts->addWidget(detail, 0, Qt::AlignHCenter);
    layout->addLayout(texts);
    return empty;
}

bool ContentView::event(QEvent* event) {
    if (event->type() == QEvent::LayoutRequest) announceSize();
    return QWidget::event(event);
}

void ContentView::announceSize() {
    if (context_.shell.preferredSizeChanged) context_.shell.preferredSizeChanged();
}

void ContentView::showEvent(QShowEvent* event) {
    refresh();
    QWidget::showEvent(event);
}

void ContentView::refresh() {
    const bool banner = shouldShowFeedbackBanner();
    banner_->setVisible(banner);
    dividerWithoutBanner_->setVisible(!banner);
    tagline_->setText(dailyTagline());
    syncRows(visibleClients());
}

void ContentView::syncRows(const std::vector<AppClient>& clients) {
    std::set<uint32_t> keep;
    for (const auto& c : clients) keep.insert(c.id);
    for (auto it = rows_.begin(); it != rows_.end();) {
        if (keep.count(it->first) == 0) {
            listLayout_->removeWidget(it->second);
            it->second->deleteLater();
            it = rows_.erase(it);
        } else {
            ++it;
        }
    }
    int index = 0;
    for (const auto& client : clients) {
        auto found = rows_.find(client.id);
        AppRowView* row = nullptr;
        if (found == rows_.end()) {
            const uint32_t id = client.id;
            AppRowView::Callbacks callbacks{
                .onVolumeChange =
                    [this, id](float volume) {
                        if (const auto* c = context_.viewModel.client(id)) {
                            context_.viewModel.sendVolumeChange(id, c->slot, c->generation, volume);
                        }
                    },
                .onMuteToggle = [this, id] { context_.viewModel.toggleMute(id); },
                .onDragStarted = [this, id] { context_.viewModel.beginDrag(id); },
                .onDragEnded = [this, id] { context_.viewModel.endDrag(id); },
                .onHide =
                    [this, id] {
                        if (const auto* c = context_.viewModel.client(id)) hideClient(*c);
                    },
                .onOutputChange =
                    [this, id](const std::string& uid) { context_.viewModel.setOutput(id, uid); },
            };
            row = new AppRowView(client, std::move(callbacks), listContainer_);
            if (picker_) row->setOutputs(picker_->devices(), picker_->currentDeviceName());
            rows_[client.id] = row;
        } else {
            row = found->second;
            row->setClient(client);
        }
        if (listLayout_->indexOf(row) != index) {
            listLayout_->removeWidget(row);
            listLayout_->insertWidget(index, row);
        }
        ++index;
    }

    const bool empty = clients.empty();
    emptyState_->setVisible(empty);
    scroll_->setVisible(!empty);
    int contentHeight = 4;
    for (const auto& [id, row] : rows_) contentHeight += row->sizeHint().height();
    scroll_->setFixedHeight(std::clamp(contentHeight, kListMinHeight, kListMaxHeight));
    updateGeometry();
}

void ContentView::applyLevels(const app::AudioClientViewModel::Levels& levels) {
    for (const auto& [id, level] : levels) {
        if (auto it = rows_.find(id); it != rows_.end()) it->second->setLevel(level);
    }
}

void ContentView::hideClient(const AppClient& client) {
    // Without a bundle identifier there is nothing to remember the choice under.
    if (client.bundleID.empty()) return;
    // The keyboard goes on from where the row was: the next row's slider, else the one above,
    // else the system volume.
    const auto ordered = rows();
    const auto at = std::find_if(ordered.begin(), ordered.end(),
                                 [&](AppRowView* r) { return r->client().id == client.id; });
    QWidget* focus = window()->focusWidget();
    const bool hadFocus = at != ordered.end() && (!focus || (*at)->isAncestorOf(focus));
    context_.hiddenApps.hide(client.bundleID, client.name);
    context_.hiddenApps.persist();
    if (!hadFocus) return;
    AppRowView* neighbour = nullptr;
    if (at + 1 != ordered.end()) {
        neighbour = *(at + 1);
    } else if (at != ordered.begin()) {
        neighbour = *(at - 1);
    }
    const bool stays = neighbour && rows_.count(neighbour->client().id) != 0;
    moveFocusTo(stays ? neighbour->slider() : systemRow_->slider());
}

void ContentView::dismissBanner() {
    context_.environment.defaults.setNumber(kBannerDismissedAtKey, now());
    refresh();
}

void ContentView::openSettings() {
    if (settings_) return;
    main_->hide();
    settings_ = new SettingsView(
        context_, [this] { closeSettings(); }, this);
    static_cast<QVBoxLayout*>(layout())->addWidget(settings_);
    settings_->show();
    moveFocusTo(settings_->backButton());
    updateGeometry();
    announceSize();
}

void ContentView::closeSettings() {
    if (!settings_) return;
    SettingsView* settings = settings_;
    settings_ = nullptr;
    settings->hide();
    settings->deleteLater();
    layout()->removeWidget(settings);
    main_->show();
    refresh();
    moveFocusTo(settingsButton_);
    updateGeometry();
    announceSize();
}

bool ContentView::isEmptyStateShown() const {
    return !emptyState_->isHidden() && !main_->isHidden();
}
bool ContentView::isBannerShown() const { return !banner_->isHidden(); }

AppRowView* ContentView::row(uint32_t clientID) const {
    auto it = rows_.find(clientID);
    return it == rows_.end() ? nullptr : it->second;
}

std::vector<AppRowView*> ContentView::rows() const {
    std::vector<AppRowView*> ordered;
    for (int i = 0; i < listLayout_->count(); ++i) {
        if (auto* r = dynamic_cast<AppRowView*>(listLayout_->itemAt(i)->widget()))
            ordered.push_back(r);
    }
    return ordered;
}

QSize ContentView::sizeHint() const { return {kPanelWidth, layout()->sizeHint().height()}; }

void ContentView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 12, 12);
    painter.fillPath(shape, Tobble::surface());
    // A hairline edge, so the surface does not dissolve into a desktop of the same colour.
    painter.strokePath(shape, QPen(Tobble::inkAt(0.16), 1));
    // The banner's pill sits inside the column; drawing it here keeps its corners smooth.
    if (!banner_->isHidden() && !main_->isHidden()) {
        if (auto* pill = banner_->findChild<QWidget*>("bannerPill")) {
            const QRect r(pill->mapTo(this, QPoint(0, 0)), pill->size());
            fillRounded(painter, QRectF(r), 6, withOpacity(Tobble::accent(), 0.1));
        }
    }
}

std::unique_ptr<QWidget> makeContentView(PanelContext& context, QWidget* parent) {
    return std::make_unique<ContentView>(context, parent);
}

}  // namespace tobble::ui
