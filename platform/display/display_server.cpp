#include "display_server.h"

#include <algorithm>
#include <charconv>

#include "hilog/log.h"
#include "synthetic_source.h"
#include "x11_source.h"

namespace mirrax::platform::display {
namespace {

using OHOS::Rosen::DMError;
using OHOS::Rosen::ScreenId;

constexpr unsigned int kLogDomain = 0xD003900;
constexpr const char *kLogTag = "display_server";
constexpr ScreenId kPhysicalScreenId = 0;
constexpr uint32_t kMaxVirtualSide = 8192;
constexpr uint32_t kMaxInterval = 120;

bool ParseInt(std::string_view text, int *value) {
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, *value);
    return ec == std::errc() && ptr == end;
}

// "synthetic", "synthetic:WxH", "synthetic:WxH@FPS"
bool ParseSynthetic(std::string_view spec, SyntheticOptions *options, std::string *error) {
    if (spec == "synthetic") {
        return true;
    }
    std::string_view rest = spec.substr(std::string_view("synthetic:").size());
    const size_t at = rest.find('@');
    if (at != std::string_view::npos) {
        if (!ParseInt(rest.substr(at + 1), &options->fps) || options->fps < 1 ||
            options->fps > 240) {
            *error = "bad frame rate in display spec '" + std::string(spec) + "' (1..240)";
            return false;
        }
        rest = rest.substr(0, at);
    }
    const size_t x = rest.find('x');
    if (x == std::string_view::npos || !ParseInt(rest.substr(0, x), &options->width) ||
        !ParseInt(rest.substr(x + 1), &options->height) || options->width < 64 ||
        options->height < 64 || options->width > 8192 || options->height > 8192) {
        *error = "bad size in display spec '" + std::string(spec) + "' (WxH, 64..8192)";
        return false;
    }
    return true;
}

}  // namespace

DisplayServer &DisplayServer::Instance() {
    static DisplayServer server;
    return server;
}

DisplayServer::DisplayServer()
    : canvas_(std::make_shared<ScreenCanvas>()), notifier_([this] { return Listeners(); }) {
    std::lock_guard config(configMutex_);
    ReplaceSource(SyntheticSource::Create(SyntheticOptions{}, canvas_, this));
}

DisplayServer::~DisplayServer() {
    std::map<ScreenId, VirtualScreen> screens;
    {
        std::lock_guard lock(mutex_);
        screens.swap(virtual_);
        listeners_.clear();
    }
    screens.clear();  // joins the workers
    std::lock_guard config(configMutex_);
    source_.reset();
}

void DisplayServer::ReplaceSource(std::unique_ptr<DisplaySource> source) {
    source_.reset();  // joins its thread; it may still report to OnSourceGeometry
    source_ = std::move(source);
    if (source_ != nullptr) {
        OnSourceGeometry(source_->Geometry());
        std::lock_guard lock(mutex_);
        sourceKind_ = std::string(source_->Kind());
        return;
    }
    bool had = false;
    {
        std::lock_guard lock(mutex_);
        had = physical_.has_value();
        physical_.reset();
        sourceKind_.clear();
    }
    if (had) {
        notifier_.Post(ScreenNotifier::Event::kDisconnect, kPhysicalScreenId);
    }
}

bool DisplayServer::Configure(std::string_view spec, std::string *error) {
    std::string scratch;
    std::string &message = error != nullptr ? *error : scratch;
    message.clear();
    std::lock_guard config(configMutex_);
    if (spec == "synthetic" || spec.starts_with("synthetic:")) {
        SyntheticOptions options;
        if (!ParseSynthetic(spec, &options, &message)) {
            return false;  // a bad spec leaves the current source alone
        }
        source_.reset();
        ReplaceSource(SyntheticSource::Create(options, canvas_, this));
        return true;
    }
    if (spec == "x11" || spec.starts_with("x11:")) {
        const std::string_view name = spec == "x11" ? std::string_view() : spec.substr(4);
        source_.reset();
        std::unique_ptr<DisplaySource> source = CreateX11Source(name, canvas_, this, &message);
        ReplaceSource(std::move(source));
        if (source_ == nullptr) {
            HiLogPrint(LOG_CORE, LOG_ERROR, kLogDomain, kLogTag, "display source x11: %{public}s",
                       message.c_str());
            return false;
        }
        return true;
    }
    message =
        "unknown display spec '" + std::string(spec) + "' (synthetic[:WxH[@FPS]] or x11[:NAME])";
    return false;
}

void DisplayServer::Reset() {
    std::lock_guard config(configMutex_);
    std::map<ScreenId, VirtualScreen> screens;
    {
        std::lock_guard lock(mutex_);
        screens.swap(virtual_);
        listeners_.clear();
        groupId_ = OHOS::Rosen::SCREEN_ID_INVALID;
    }
    screens.clear();  // joins the workers, no lock of mutex_ held
    notifier_.Flush();
    source_.reset();
    {
        std::lock_guard lock(mutex_);
        physical_.reset();
    }
    ReplaceSource(SyntheticSource::Create(SyntheticOptions{}, canvas_, this));
    notifier_.Flush();
    mirroredFrames_.store(0);
}

bool DisplayServer::WithSynthetic(const std::function<bool(SyntheticSource &)> &action) {
    std::lock_guard config(configMutex_);
    auto *synthetic = dynamic_cast<SyntheticSource *>(source_.get());
    return synthetic != nullptr && action(*synthetic);
}

DisplayStats DisplayServer::Stats() const {
    DisplayStats stats;
    stats.sourceFrames = canvas_->Sequence();
    {
        std::lock_guard config(configMutex_);
        stats.sourceDrawCpuUs = source_ != nullptr ? source_->CpuUsPerFrame() : 0.0;
    }
    stats.notifications = notifier_.Delivered();
    stats.mirroredFrames = mirroredFrames_.load();
    std::lock_guard lock(mutex_);
    for (const auto &[id, screen] : virtual_) {
        stats.mirrorWorkers += screen.worker != nullptr ? 1 : 0;
    }
    return stats;
}

void DisplayServer::OnSourceGeometry(const SourceGeometry &geometry) {
    std::optional<ScreenNotifier::Event> event;
    {
        std::lock_guard lock(mutex_);
        if (!physical_.has_value()) {
            event = ScreenNotifier::Event::kConnect;
        } else if (!(*physical_ == geometry)) {
            event = ScreenNotifier::Event::kChange;
        }
        physical_ = geometry;
    }
    if (event.has_value()) {
        if (*event == ScreenNotifier::Event::kChange) {
            HiLogPrint(LOG_CORE, LOG_INFO, kLogDomain, kLogTag,
                       "screen %{public}d changed to %{public}dx%{public}d", 0, geometry.width,
                       geometry.height);
        }
        notifier_.Post(*event, kPhysicalScreenId);
    }
}

std::optional<OHOS::Rosen::DisplayId> DisplayServer::DefaultDisplayId() const {
    std::lock_guard lock(mutex_);
    if (!physical_.has_value()) {
        return std::nullopt;
    }
    return kPhysicalScreenId;
}

std::optional<OHOS::Rosen::Display::Info> DisplayServer::DisplayOfScreen(ScreenId id) const {
    std::lock_guard lock(mutex_);
    if (id != kPhysicalScreenId || !physical_.has_value()) {
        return std::nullopt;
    }
    OHOS::Rosen::Display::Info info;
    info.id = kPhysicalScreenId;
    info.name = "display0";
    info.width = info.physicalWidth = physical_->width;
    info.height = info.physicalHeight = physical_->height;
    info.refreshRate = physical_->refreshRate;
    info.screenId = kPhysicalScreenId;
    info.dpi = physical_->dpi;
    info.rotation = physical_->rotation;
    return info;
}

std::optional<OHOS::Rosen::Screen::Info> DisplayServer::ScreenInfo(ScreenId id) const {
    std::lock_guard lock(mutex_);
    OHOS::Rosen::Screen::Info info;
    info.id = id;
    if (id == kPhysicalScreenId) {
        if (!physical_.has_value()) {
            return std::nullopt;
        }
        info.name = sourceKind_;
        info.width = static_cast<uint32_t>(physical_->width);
        info.height = static_cast<uint32_t>(physical_->height);
        info.virtualPixelRatio = static_cast<float>(physical_->dpi) / 160.0f;
        info.rotation = physical_->rotation;
        info.isReal = true;
        return info;
    }
    auto it = virtual_.find(id);
    if (it == virtual_.end()) {
        return std::nullopt;
    }
    info.name = it->second.name;
    info.width = static_cast<uint32_t>(it->second.target->Width());
    info.height = static_cast<uint32_t>(it->second.target->Height());
    info.virtualPixelRatio = it->second.density > 0 ? it->second.density / 160.0f : 1.0f;
    info.parentId = it->second.worker != nullptr ? groupId_ : OHOS::Rosen::SCREEN_ID_INVALID;
    return info;
}

std::vector<ScreenId> DisplayServer::ScreenIds() const {
    std::lock_guard lock(mutex_);
    std::vector<ScreenId> ids;
    if (physical_.has_value()) {
        ids.push_back(kPhysicalScreenId);
    }
    for (const auto &[id, screen] : virtual_) {
        ids.push_back(id);
    }
    return ids;
}

ScreenId DisplayServer::CreateVirtualScreen(const OHOS::Rosen::VirtualScreenOption &option) {
    if (option.width_ == 0 || option.height_ == 0 || option.width_ > kMaxVirtualSide ||
        option.height_ > kMaxVirtualSide) {
        return OHOS::Rosen::SCREEN_ID_INVALID;
    }
    VirtualScreen screen;
    screen.name = option.name_;
    screen.density = option.density_;
    screen.target = std::make_shared<MirrorTarget>(static_cast<int>(option.width_),
                                                   static_cast<int>(option.height_));
    if (option.surface_ != nullptr) {
        screen.target->SetSurface(option.surface_);
    }
    std::lock_guard lock(mutex_);
    const ScreenId id = nextId_++;
    virtual_.emplace(id, std::move(screen));
    return id;
}

DMError DisplayServer::DestroyVirtualScreen(ScreenId id) {
    std::map<ScreenId, VirtualScreen>::node_type node;
    {
        std::lock_guard lock(mutex_);
        node = virtual_.extract(id);
    }
    // The node's destructor stops and joins the worker, with no lock held.
    return node.empty() ? DMError::DM_ERROR_INVALID_PARAM : DMError::DM_OK;
}

DMError DisplayServer::SetSurface(ScreenId id, OHOS::sptr<OHOS::Surface> surface) {
    if (surface == nullptr) {
        return DMError::DM_ERROR_NULLPTR;
    }
    std::lock_guard lock(mutex_);
    auto it = virtual_.find(id);
    if (it == virtual_.end()) {
        return DMError::DM_ERROR_INVALID_PARAM;
    }
    it->second.target->SetSurface(std::move(surface));
    return DMError::DM_OK;
}

DMError DisplayServer::Resize(ScreenId id, uint32_t width, uint32_t height) {
    if (width == 0 || height == 0 || width > kMaxVirtualSide || height > kMaxVirtualSide) {
        return DMError::DM_ERROR_INVALID_PARAM;
    }
    std::lock_guard lock(mutex_);
    auto it = virtual_.find(id);
    if (it == virtual_.end()) {
        return DMError::DM_ERROR_INVALID_PARAM;
    }
    it->second.target->SetSize(static_cast<int>(width), static_cast<int>(height));
    return DMError::DM_OK;
}

DMError DisplayServer::SetInterval(ScreenId id, uint32_t interval) {
    if (interval == 0 || interval > kMaxInterval) {
        return DMError::DM_ERROR_INVALID_PARAM;
    }
    std::lock_guard lock(mutex_);
    auto it = virtual_.find(id);
    if (it == virtual_.end()) {
        return DMError::DM_ERROR_INVALID_PARAM;
    }
    it->second.target->SetInterval(interval);
    return DMError::DM_OK;
}

DMError DisplayServer::SetCanvasRotation(ScreenId id, bool rotation) {
    std::lock_guard lock(mutex_);
    auto it = virtual_.find(id);
    if (it == virtual_.end()) {
        return DMError::DM_ERROR_INVALID_PARAM;
    }
    it->second.target->SetCanvasRotation(rotation);
    return DMError::DM_OK;
}

DMError DisplayServer::SetExemption(ScreenId id, uint32_t /*pid*/,
                                    std::vector<uint64_t> windowIds) {
    std::lock_guard lock(mutex_);
    auto it = virtual_.find(id);
    if (it == virtual_.end()) {
        return DMError::DM_ERROR_INVALID_PARAM;
    }
    it->second.target->SetExemptWindows(std::move(windowIds));
    return DMError::DM_OK;
}

DMError DisplayServer::MakeMirror(ScreenId main, const std::vector<ScreenId> &mirrors,
                                  ScreenId &group) {
    std::lock_guard lock(mutex_);
    if (main != kPhysicalScreenId || !physical_.has_value() || mirrors.empty()) {
        return DMError::DM_ERROR_INVALID_PARAM;
    }
    for (ScreenId id : mirrors) {
        if (virtual_.find(id) == virtual_.end()) {
            return DMError::DM_ERROR_INVALID_PARAM;
        }
    }
    if (groupId_ == OHOS::Rosen::SCREEN_ID_INVALID) {
        groupId_ = nextId_++;
    }
    for (ScreenId id : mirrors) {
        VirtualScreen &screen = virtual_[id];
        if (screen.worker == nullptr) {
            screen.worker =
                std::make_unique<MirrorWorker>(id, canvas_, screen.target, &mirroredFrames_);
        }
    }
    group = groupId_;
    return DMError::DM_OK;
}

DMError DisplayServer::StopMirror(const std::vector<ScreenId> &mirrors) {
    std::vector<std::unique_ptr<MirrorWorker>> stopping;
    DMError result = mirrors.empty() ? DMError::DM_ERROR_INVALID_PARAM : DMError::DM_OK;
    {
        std::lock_guard lock(mutex_);
        for (ScreenId id : mirrors) {
            auto it = virtual_.find(id);
            if (it == virtual_.end()) {
                result = DMError::DM_ERROR_INVALID_PARAM;
            } else if (it->second.worker != nullptr) {
                stopping.push_back(std::move(it->second.worker));
            }
        }
    }
    stopping.clear();  // joins, no lock held
    return result;
}

DMError DisplayServer::RegisterListener(
    OHOS::sptr<OHOS::Rosen::ScreenManager::IScreenListener> listener) {
    if (listener == nullptr) {
        return DMError::DM_ERROR_NULLPTR;
    }
    std::lock_guard lock(mutex_);
    for (const auto &existing : listeners_) {
        if (existing == listener) {
            return DMError::DM_ERROR_INVALID_PARAM;
        }
    }
    listeners_.push_back(std::move(listener));
    return DMError::DM_OK;
}

DMError DisplayServer::UnregisterListener(
    OHOS::sptr<OHOS::Rosen::ScreenManager::IScreenListener> listener) {
    if (listener == nullptr) {
        return DMError::DM_ERROR_NULLPTR;
    }
    {
        std::lock_guard lock(mutex_);
        auto it = std::find(listeners_.begin(), listeners_.end(), listener);
        if (it == listeners_.end()) {
            return DMError::DM_ERROR_INVALID_PARAM;
        }
        listeners_.erase(it);
    }
    // No call of this listener runs after this returns (unless called from one).
    notifier_.WaitForDispatch();
    return DMError::DM_OK;
}

std::vector<OHOS::sptr<OHOS::Rosen::ScreenManager::IScreenListener>> DisplayServer::Listeners()
    const {
    std::lock_guard lock(mutex_);
    return listeners_;
}

}  // namespace mirrax::platform::display
