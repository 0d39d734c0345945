#include "ui/DevicePickerView.h"

#include <QPainter>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/Accessibility.h"
#include "ui/Controls.h"
#include "ui/Icons.h"
#include "ui/Theme.h"

namespace tobble::ui {

namespace {

constexpr double kHeaderTopPadding = 4;

}  // namespace

QString DevicePickerView::deviceIcon(const std::string& name) {
    const QString lower = QString::fromStdString(name).toLower();
    const auto any = [&lower](std::initializer_list<const char*> words) {
        return std::any_of(words.begin(), words.end(),
                           [&](const char* w) { return lower.contains(QLatin1String(w)); });
    };
    if (any({"headphone", "airpod", "earpod"})) return "headphones";
    if (any({"bluetooth", "beats"})) return "wave.3.right";
    if (any({"hdmi", "display", "tv"})) return "tv";
    if (any({"usb"})) return "cable.connector";
    return "hifispeaker";
}

DevicePickerView::DevicePickerView(app::TobbleAudioService& service, audio::AudioHardware& hardware,
                                   system::UserDefaults& defaults, QWidget* parent)
    : QWidget(parent),
      service_(service),
      hardware_(hardware),
      defaults_(defaults),
      expanded_(defaults.boolean(kExpandedKey)),
      alive_(std::make_shared<bool>(true)) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    header_ = new PaintedButton(QSize(312, 38), {}, this);
    header_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    header_->setCornerRadius(0);
    header_->setPainter(
        [this](QPainter& painter, const QRectF& bounds, const PaintedButton::State& state) {
            const QRectF row = bounds.adjusted(0, kHeaderTopPadding, 0, 0);
            painter.fillRect(row, Tobble::inkAt(0.025 * state.hover));
            const QRectF content = row.adjusted(16, 10, -16, -10);
            painter.setFont(uiFont(12, Weight::Medium));
            painter.setPen(Tobble::textSecondary());
            const QFontMetricsF titleMetrics(painter.font());
            const double titleWidth = titleMetrics.horizontalAdvance("Output");
            painter.drawText(content, Qt::AlignLeft | Qt::AlignVCenter, "Output");
            const QRectF chevron(content.right() - 10, content.center().y() - 5, 10, 10);
            paintIcon(painter, chevron, expanded_ ? "chevron.down" : "chevron.right", 9,
                      Weight::Semibold, Tobble::textTertiary());
            painter.setFont(uiFont(12, Weight::Regular));
            painter.setPen(Tobble::textTertiary());
            const QRectF nameRect(content.left() + titleWidth + 8, content.top(),
                                  chevron.left() - 8 - (content.left() + titleWidth + 8),
                                  content.height());
            const QString name =
                QFontMetricsF(painter.font())
                    .elidedText(currentDeviceName(), Qt::ElideMiddle, nameRect.width());
            painter.drawText(nameRect, Qt::AlignRight | Qt::AlignVCenter, name);
        });
    connect(header_, &QAbstractButton::clicked, this, [this] { setExpanded(!expanded_); });
    layout->addWidget(header_);

    listSection_ = new QWidget(this);
    auto* sectionLayout = new QVBoxLayout(listSection_);
    sectionLayout->setContentsMargins(0, 0, 0, 0);
    sectionLayout->setSpacing(0);
    sectionLayout->addWidget(new Divider(12, listSection_));
    auto* list = new QWidget(listSection_);
    listLayout_ = new QVBoxLayout(list);
    listLayout_->setContentsMargins(0, 0, 0, 0);
    listLayout_->setSpacing(0);
    sectionLayout->addWidget(list);
    layout->addWidget(listSection_);

    setExpanded(expanded_);
    rebuildList();
}

DevicePickerView::~DevicePickerView() {
    *alive_ = false;
    stopListening();
}

QString DevicePickerView::currentDeviceName() const {
    for (const auto& device : devices_) {
        if (device.id == selectedDeviceID_) return QString::fromStdString(device.name);
    }
    if (selectedDeviceID_ != audio::kAudioObjectUnknown && !defaultOutputName_.empty()) {
        return QString::fromStdString(defaultOutputName_);
    }
    return "None";
}

void DevicePickerView::setExpanded(bool expanded) {
    if (expanded != expanded_) {
        expanded_ = expanded;
        defaults_.setBoolean(kExpandedKey, expanded);
    }
    listSection_->setVisible(expanded_);
    header_->setExpanded(expanded_);
    header_->setAccessibleName(QStringLiteral("Output: %1").arg(currentDeviceName()));
    header_->update();
    updateGeometry();
}

void DevicePickerView::refreshDevices() {
    std::weak_ptr<bool> alive = alive_;
    service_.readOutputDevices([this, alive](std::vector<OutputDevice> devices,
                                             std::optional<audio::AudioObjectID> current,
                                             std::string currentName) {
        if (auto a = alive.lock(); a && *a) {
            defaultOutputName_ = std::move(currentName);
            showDevices(std::move(devices), current);
        }
    });
}

void DevicePickerView::showDevices(std::vector<OutputDevice> devices,
                                   std::optional<audio::AudioObjectID> current) {
    const bool listed =
        current && std::any_of(devices.begin(), devices.end(),
                               [&](const OutputDevice& d) { return d.id == *current; });
    if (listed) {
        selectedDeviceID_ = *current;
    } else if (current) {
        // A default the list leaves out (a virtual sink) is still the output: named, unpicked.
        selectedDeviceID_ = *current;
    } else {
        selectedDeviceID_ = devices.empty() ? audio::kAudioObjectUnknown : devices.front().id;
    }
    // The same list again (the usual answer to a pick) keeps its rows, and so the keyboard focus.
    if (devices != devices_) {
        devices_ = std::move(devices);
        rebuildList();
    }
    markSelectedRow();
    setExpanded(expanded_);
    if (devicesShown_) devicesShown_();
}

void DevicePickerView::markSelectedRow() {
    for (size_t i = 0; i < rows_.size(); ++i)
        rows_[i]->setChecked(rowDeviceIDs_[i] == selectedDeviceID_);
}

void DevicePickerView::selectOutputDevice(audio::AudioObjectID id) {
    selectedDeviceID_ = id;
    markSelectedRow();
    header_->update();
    // Not acted upon: the next refresh shows what the system really did.
    (void)hardware_.setPropertyData(
        audio::kAudioObjectSystemObject,
        {audio::kAudioHardwarePropertyDefaultOutputDevice, audio::kAudioObjectPropertyScopeGlobal,
         audio::kAudioObjectPropertyElementMain},
        sizeof(id), &id);
    setExpanded(expanded_);
}

QString DevicePickerView::emptyRowText() const {
    return emptyRow_ ? QStringLiteral("No output devices found") : QString();
}

void DevicePickerView::rebuildList() {
    // A row that had the keyboard goes away with the old list: its device's new row, else the
    // header, takes the keyboard over, so a pick never leaves the keyboard nowhere.
    std::optional<audio::AudioObjectID> focusedDevice;
    bool focusInList = false;
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i]->window()->focusWidget() != rows_[i]) continue;
        focusInList = true;
        focusedDevice = rowDeviceIDs_[i];
    }
    std::vector<QWidget*> old(rows_.begin(), rows_.end());
    if (emptyRow_) old.push_back(emptyRow_);
    // Hidden first: hiding the focused row moves the focus on by itself.
    for (QWidget* widget : old) {
        widget->hide();
        widget->deleteLater();
    }
    rows_.clear();
    rowDeviceIDs_.clear();
    emptyRow_ = nullptr;
    while (QLayoutItem* item = listLayout_->takeAt(0)) delete item;

    addRows();
    if (focusInList) {
        auto it = std::find(rowDeviceIDs_.begin(), rowDeviceIDs_.end(), focusedDevice);
        moveFocusTo(it == rowDeviceIDs_.end() ? header_ : rows_[it - rowDeviceIDs_.begin()]);
    }
}

void DevicePickerView::addRows() {
    if (devices_.empty()) {
        emptyRow_ = new QWidget(listLayout_->parentWidget());
        emptyRow_->setFixedHeight(40);
        emptyRow_->setAccessibleName("No output devices found");
        auto* text = new TextView("No output devices found", 12, Weight::Regular,
                                  Tobble::textTertiary(), emptyRow_);
        auto* icon = new PaintedButton(
            QSize(16, 16),
            [](QPainter& p, const QRectF& r, const PaintedButton::State&) {
                paintIcon(p, r, "speaker.slash", 11, Weight::Medium, Tobble::textTertiary());
            },
            emptyRow_);
        icon->setFocusPolicy(Qt::NoFocus);
        icon->setAttribute(Qt::WA_TransparentForMouseEvents);
        auto* rowLayout = new QHBoxLayout(emptyRow_);
        rowLayout->setContentsMargins(16, 12, 16, 12);
        rowLayout->setSpacing(8);
        rowLayout->addWidget(icon);
        rowLayout->addWidget(text);
        rowLayout->addStretch(1);
        listLayout_->addWidget(emptyRow_);
        return;
    }

    listLayout_->addSpacing(12);
    for (const auto& device : devices_) {
        const audio::AudioObjectID id = device.id;
        const QString name = QString::fromStdString(device.name);
        const QString icon = deviceIcon(device.name);
        auto* row = new PaintedButton(QSize(312, 32), {}, listLayout_->parentWidget());
        row->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        row->setAccessibleName(name);
        row->setExclusiveChoice(true);
        row->setPainter([this, id, name, icon](QPainter& painter, const QRectF& bounds,
                                               const PaintedButton::State& state) {
            const bool selected = id == selectedDeviceID_;
            const QRectF pill = bounds.adjusted(8, 0, -8, 0);
            fillRounded(painter, pill, 6,
                        selected ? Tobble::accentSoft() : Tobble::inkAt(0.025 * state.hover));
            const QRectF content = pill.adjusted(12, 8, -12, -8);
            double x = content.left();
            const double cy = content.center().y();
            if (selected) {
                painter.setPen(Qt::NoPen);
                painter.setBrush(Tobble::accent());
                painter.drawEllipse(QRectF(x, cy - 3, 6, 6));
            }
            x += 6 + 10;
            paintIcon(painter, QRectF(x, cy - 9, 18, 18), icon, 12, Weight::Medium,
                      selected ? Tobble::accent() : Tobble::textSecondary());
            x += 18 + 10;
            painter.setFont(uiFont(12, selected ? Weight::Semibold : Weight::Regular));
            painter.setPen(selected ? Tobble::textPrimary() : Tobble::textSecondary());
            const double right = content.right() - (selected ? 20 : 0);
            const QString shown =
                QFontMetricsF(painter.font()).elidedText(name, Qt::ElideRight, right - x);
            painter.drawText(QRectF(x, content.top(), right - x, content.height()),
                             Qt::AlignLeft | Qt::AlignVCenter, shown);
            if (selected) {
                paintIcon(painter, QRectF(content.right() - 12, cy - 6, 12, 12), "checkmark", 10,
                          Weight::Bold, Tobble::accent());
            }
        });
        connect(row, &QAbstractButton::clicked, this, [this, id] { selectOutputDevice(id); });
        rows_.push_back(row);
        rowDeviceIDs_.push_back(id);
        listLayout_->addWidget(row);
    }
    listLayout_->addSpacing(10);
}

void DevicePickerView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refreshDevices();
    startListening();
}

void DevicePickerView::hideEvent(QHideEvent* event) {
    stopListening();
    QWidget::hideEvent(event);
}

void DevicePickerView::startListening() {
    if (listening_) return;
    listening_ = true;
    std::weak_ptr<bool> alive = alive_;
    service_.registerDeviceListListener([this, alive] {
        if (auto a = alive.lock(); a && *a) refreshDevices();
    });
}

void DevicePickerView::stopListening() {
    if (!listening_) return;
    listening_ = false;
    service_.unregisterDeviceListListener();
}

}  // namespace tobble::ui
