// What ShapeDesk holds about the mirror it drives, without any widget.
#include "mirrorsession.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>

MirrorSession::MirrorSession(QObject* parent) : QObject(parent) {
    pokeTimer_.setTimerType(Qt::PreciseTimer);
    pokeTimer_.setInterval(kPokeHoldMs);
    connect(&pokeTimer_, &QTimer::timeout, this, &MirrorSession::pokeTick);
    connectionTimer_.setInterval(250);
    connect(&connectionTimer_, &QTimer::timeout, this, &MirrorSession::checkConnection);
}

MirrorSession::~MirrorSession() {
    pokeTimer_.stop();
    stopWatching();
    if (isOpen()) {
        if (!isRemote()) control_.setDMShape(std::vector<double>(frame_.size(), 0.0));
        control_.close();
    }
}

QString MirrorSession::lastErrorText(KRVRC rc) const {
    return QString("Error %0: %1").arg(static_cast<unsigned>(rc)).arg(control_.lastMessage());
}

void MirrorSession::stopWatching() {
    connectionTimer_.stop();
    watcher_.reset();
}

bool MirrorSession::openRemote(const RemoteTarget& target) {
    if (pokeTimer_.isActive()) finishPokeAll(false);
    stopWatching();
    if (isOpen() && !isRemote()) control_.setDMShape(std::vector<double>(frame_.size(), 0.0));
    const bool opened = control_.connectRemote(target);
    reset();
    applyOffsets_ = false;
    control_.setApplyOffsets(false);
    if (opened) {
        readBack();
        if (watching()) {
            watcher_ = std::make_unique<FrameWatcher>(*control_.link());
            connect(watcher_.get(), &FrameWatcher::frame, this, &MirrorSession::onWatchedFrame);
            // Closing deletes the watcher: not while it is telling of its end.
            connect(watcher_.get(), &FrameWatcher::ended, this, [this](KRVRC rc, const QString& message) {
                const QString text = QString("Error %0: %1").arg(static_cast<unsigned>(rc)).arg(message);
                QMetaObject::invokeMethod(this, [this, text] { lose(text); }, Qt::QueuedConnection);
            });
            watcher_->start();
        }
        connectionTimer_.start();
    }
    emit mirrorChanged();
    emit frameChanged();
    emit surfacesChanged();
    return opened;
}

void MirrorSession::onWatchedFrame(const std::vector<double>& values) {
    if (!watching() || values.size() != frame_.size()) return;
    frame_ = values;
    emit frameChanged();
}

void MirrorSession::checkConnection() {
    if (isRemote() && control_.connectionLost())
        lose(QString("Error %0: the connection to the server %1 was lost")
                 .arg(static_cast<unsigned>(kLinkUnavailable))
                 .arg(server()));
}

void MirrorSession::lose(const QString& text) {
    if (!isRemote()) return;
    const QString what = QString("%1 (%2 on %3)").arg(text, serialNumber(), server());
    close();
    emit error(what);
    emit connectionLost(what);
}

QString MirrorSession::errorText(KRVRC rc) {
    return QString("Error %0: %1").arg(static_cast<unsigned>(rc)).arg(KRVErrorString(rc));
}

void MirrorSession::reset() {
    if (pokeTimer_.isActive()) pokeTimer_.stop();
    beforePokeAll_.clear();
    frame_.assign(static_cast<size_t>(actuatorCount()), 0.0);
    segments_.clear();
    pokeIndex_ = -1;
    geometry_ = control_.geometry();
    clearSurfaces();
}

void MirrorSession::clearSurfaces() {
    target_ = cv::Mat();
    region_ = cv::Mat();
    expected_ = cv::Mat();
    stroke_ = {0.0, 0.0};
}

bool MirrorSession::open(const QString& serial, const QString& profilePath) {
    if (pokeTimer_.isActive()) finishPokeAll(false);
    stopWatching();
    if (isOpen() && !isRemote()) control_.setDMShape(std::vector<double>(frame_.size(), 0.0));
    const DM record = control_.initialize(serial, profilePath);
    const bool opened = record.ActCount != 0;
    reset();
    applyOffsets_ = false;
    control_.setApplyOffsets(false);
    if (opened) readBack();
    emit mirrorChanged();
    emit frameChanged();
    emit surfacesChanged();
    return opened;
}

void MirrorSession::close() {
    if (pokeTimer_.isActive()) finishPokeAll(false);
    stopWatching();
    if (isOpen()) {
        if (!isRemote()) control_.setDMShape(std::vector<double>(frame_.size(), 0.0));
        control_.close();
    }
    reset();
    emit mirrorChanged();
    emit frameChanged();
    emit surfacesChanged();
}

void MirrorSession::readBack() {
    frame_ = control_.getDMShape();
}

KRVRC MirrorSession::sendFrame(std::vector<double> values) {
    if (!isOpen()) return ERR_NO_HW;
    if (values.size() != static_cast<size_t>(actuatorCount())) return ERR_BADARG;
    const KRVRC rc = control_.setDMShape(values);
    if (rc == NO_ERR) frame_ = std::move(values);
    else readBack();
    emit frameChanged();
    if (rc >= kLinkTransport) checkConnection();
    return rc;
}

KRVRC MirrorSession::setAll(double level) { return sendFrame(std::vector<double>(frame_.size(), level)); }

KRVRC MirrorSession::setActuator(int actuator, double value) {
    if (actuator < 0 || actuator >= static_cast<int>(frame_.size())) return ERR_ACTUATOR_ID;
    std::vector<double> next = frame_;
    next[static_cast<size_t>(actuator)] = value;
    return sendFrame(std::move(next));
}

KRVRC MirrorSession::zero() {
    segments_.clear();
    return setAll(0.0);
}

MirrorSession::Outcome MirrorSession::sendActuatorList(std::vector<double> values) {
    Outcome out;
    const size_t n = frame_.size();
    if (values.size() > n) {
        out.warning = QString("Warning: the shape file has %0 entries, more than the mirror's %1 actuators; the "
                              "first %1 were sent.")
                          .arg(values.size())
                          .arg(n);
        values.resize(n);
    } else if (values.size() < n) {
        out.warning = QString("Warning: the shape file has %0 entries, fewer than the mirror's %1 actuators; the "
                              "rest were set to 0.")
                          .arg(values.size())
                          .arg(n);
        values.resize(n, 0.0);
    }
    segments_.clear();
    out.rc = sendFrame(std::move(values));
    return out;
}

// ---- segments ----

KRVRC MirrorSession::setAllSegments(double piston, double xTiltMicroradians, double yTiltMicroradians) {
    if (!isOpen()) return ERR_NO_HW;
    const double x = fromMicroradians(xTiltMicroradians), y = fromMicroradians(yTiltMicroradians);
    const KRVRC rc = control_.setDMAllSegments(static_cast<int>(std::lround(piston)), x, y);
    if (rc == NO_ERR) {
        segments_.clear();
        const int count = geometry_.segmented ? actuatorCount() / 3 : actuatorCount();
        for (int s = 0; s < count; ++s) segments_[s] = Segment{std::round(piston), x, y};
    }
    readBack();
    emit frameChanged();
    return rc;
}

KRVRC MirrorSession::setSegment(int segment, double piston, double xTiltMilliradians, double yTiltMilliradians) {
    if (!isOpen()) return ERR_NO_HW;
    const Segment s{std::round(piston), fromMilliradians(xTiltMilliradians), fromMilliradians(yTiltMilliradians)};
    const KRVRC rc = control_.setDMSegment(segment, static_cast<int>(s.piston), s.xTilt, s.yTilt);
    if (rc != NO_ERR) return rc;
    segments_[segment] = s;
    readBack();
    emit frameChanged();
    return rc;
}

MirrorSession::Segment MirrorSession::segment(int segment) const {
    const auto it = segments_.find(segment);
    return it == segments_.end() ? Segment{} : it->second;
}

void MirrorSession::setApplyOffsets(bool apply) {
    applyOffsets_ = apply;
    control_.setApplyOffsets(apply);
}

KRVRC MirrorSession::resendSegments() {
    if (!isOpen()) return ERR_NO_HW;
    KRVRC result = NO_ERR;
    for (const auto& [index, s] : segments_) {
        const KRVRC rc = control_.setDMSegment(index, static_cast<int>(s.piston), s.xTilt, s.yTilt);
        if (rc != NO_ERR && result == NO_ERR) result = rc;
    }
    readBack();
    emit frameChanged();
    return result;
}

// ---- surfaces ----

namespace {

// The extremes of values (NaN passed over), and whether all of them are finite.
struct Extremes {
    double lo = std::numeric_limits<double>::infinity(), hi = -std::numeric_limits<double>::infinity();
    bool finite = true;

    void add(const double* v, int begin, int end) {
        if (end <= begin) return;
        // minpd and maxpd give their second operand where the first is NaN; v - v is NaN for NaN and infinities.
        __m128d l = _mm_set1_pd(lo), h = _mm_set1_pd(hi), bad = _mm_setzero_pd();
        int x = begin;
        for (; x + 2 <= end; x += 2) {
            const __m128d two = _mm_loadu_pd(v + x);
            l = _mm_min_pd(two, l);
            h = _mm_max_pd(two, h);
            bad = _mm_add_pd(bad, _mm_sub_pd(two, two));
        }
        double ls[2], hs[2], bs[2];
        _mm_storeu_pd(ls, l);
        _mm_storeu_pd(hs, h);
        _mm_storeu_pd(bs, bad);
        lo = std::min(ls[0], ls[1]);
        hi = std::max(hs[0], hs[1]);
        finite = finite && bs[0] == 0.0 && bs[1] == 0.0;
        for (; x < end; ++x) {
            lo = v[x] < lo ? v[x] : lo;
            hi = v[x] > hi ? v[x] : hi;
            finite = finite && std::isfinite(v[x]);
        }
    }
    void merge(const Extremes& other) {
        lo = std::min(lo, other.lo);
        hi = std::max(hi, other.hi);
        finite = finite && other.finite;
    }
};

}  // namespace

KRVRC MirrorSession::afterSurface(KRVRC rc, cv::Mat grid, int apertureDiameter, bool absolute) {
    readBack();
    segments_.clear();
    if ((rc != NO_ERR && rc != ERR_OUT_OF_LUT_RANGE) || grid.empty()) {
        clearSurfaces();
        emit frameChanged();
        emit surfacesChanged();
        return rc;
    }
    // The surfaces are new matrices each time (callers may hold the previous ones) and never written once made,
    // so the target is the grid itself, and the region and the expected surface are shared where they repeat.
    cv::Mat target;
    if (grid.type() == CV_64F && grid.isContinuous())
        target = grid;
    else
        grid.convertTo(target, CV_64F);
    const int w = target.cols;
    const double d = apertureDiameter > 0 ? apertureDiameter : w - 3;
    if (circle_.mask.size() != target.size() || circle_.diameter != d) {
        // The points inside the aperture's circle, as a mask and as a run of columns per row.
        circle_.diameter = d;
        circle_.mask = cv::Mat(target.size(), CV_8U);
        circle_.runs.assign(static_cast<size_t>(target.rows), {0, 0});
        const double c = (w - 1) * 0.5, r2 = d * d * 0.25 + 1e-9;
        for (int y = 0; y < target.rows; ++y) {
            uchar* in = circle_.mask.ptr<uchar>(y);
            int first = w, last = -1;
            for (int x = 0; x < w; ++x) {
                in[x] = (x - c) * (x - c) + (y - c) * (y - c) <= r2 ? 255 : 0;
                if (in[x]) first = std::min(first, x), last = x;
            }
            if (last >= first) circle_.runs[static_cast<size_t>(y)] = {first, last + 1};
        }
    }
    // The aperture: inside the circle and with a value. The target's extremes there, and over the whole grid.
    Extremes inside, all;
    for (int y = 0; y < target.rows; ++y) {
        const double* t = target.ptr<double>(y);
        const auto [first, end] = circle_.runs[static_cast<size_t>(y)];
        all.add(t, 0, first);
        inside.add(t, first, end);
        all.add(t, end, w);
    }
    all.merge(inside);
    const bool holes = !inside.finite;
    double lo = inside.lo, hi = inside.hi;
    const double allLo = all.lo, allHi = all.hi;
    cv::Mat region = circle_.mask;
    if (holes) {
        // Points without a finite value are outside, and their infinities count for nothing.
        region = circle_.mask.clone();
        lo = std::numeric_limits<double>::infinity(), hi = -lo;
        for (int y = 0; y < target.rows; ++y) {
            const double* t = target.ptr<double>(y);
            uchar* in = region.ptr<uchar>(y);
            for (int x = 0; x < w; ++x) {
                if (!std::isfinite(t[x])) in[x] = 0;
                if (!in[x]) continue;
                lo = std::min(lo, t[x]);
                hi = std::max(hi, t[x]);
            }
        }
    }
    target_ = target;
    region_ = region;

    // The mirror reaches its piston range and no further: a shape wider than that is clipped at both ends, as
    // the kit's best effort clips the commands. Solved relative to the mirror's middle, the shape is centred in
    // that range first; in-range shapes come out unchanged.
    // (0, 1) is the controller's answer when the mirror has no range to give.
    const auto range = control_.pistonRange(0, 0.0, 0.0);
    if (range != std::pair<int, int>{0, 1}) stroke_ = {static_cast<double>(range.first), static_cast<double>(range.second)};
    cv::Mat expected = target;
    if (stroke_.second > stroke_.first && lo <= hi) {
        const double shift = absolute ? 0.0 : 0.5 * (stroke_.first + stroke_.second) - 0.5 * (lo + hi);
        // The values the stroke leaves as they are.
        const double bottom = stroke_.first - shift, top = stroke_.second - shift;
        if (allLo < bottom || allHi > top) {
            expected = cv::Mat(target.size(), CV_64F);
            const size_t n = target.total();
            const double* t = target.ptr<double>();
            double* e = expected.ptr<double>();
            for (size_t i = 0; i < n; ++i) e[i] = t[i] < bottom ? bottom : t[i] > top ? top : t[i];
        }
    }
    expected_ = expected;
    emit frameChanged();
    emit surfacesChanged();
    return rc;
}

KRVRC MirrorSession::setPhaseMap(const cv::Mat& map, int apertureDiameter) {
    if (!isOpen()) return ERR_NO_HW;
    cv::Mat grid;
    const KRVRC rc = control_.setDMSurface(map, grid, apertureDiameter, false);
    return afterSurface(rc, std::move(grid), apertureDiameter, false);
}

KRVRC MirrorSession::setZernike(const std::vector<double>& coefficients, int apertureDiameter) {
    if (!isOpen()) return ERR_NO_HW;
    cv::Mat grid;
    const KRVRC rc = control_.setDMZernikeSurface(coefficients, grid, apertureDiameter);
    return afterSurface(rc, std::move(grid), apertureDiameter, false);
}

// ---- pokes ----

KRVRC MirrorSession::movePoke(int step, double level) {
    const int n = static_cast<int>(frame_.size());
    if (n == 0) return ERR_NO_HW;
    // With nothing selected the walk starts with a full poke.
    const double remembered =
        pokeIndex_ >= 0 && pokeIndex_ < n ? frame_[static_cast<size_t>(pokeIndex_)] : kPokeValue;
    int next = pokeIndex_ + step;
    if (next >= n) next = 0;
    if (next < 0) next = n - 1;
    return pokeAt(next, remembered, level);
}

KRVRC MirrorSession::pokeActuator(int actuator, double level) {
    const int n = static_cast<int>(frame_.size());
    if (n == 0) return ERR_NO_HW;
    if (actuator < 0 || actuator >= n) return ERR_BADARG;
    // The poke moves to the actuator with the value the poked one had (a full poke when none was).
    const double carried =
        pokeIndex_ >= 0 && pokeIndex_ < n ? frame_[static_cast<size_t>(pokeIndex_)] : kPokeValue;
    return pokeAt(actuator, carried, level);
}

KRVRC MirrorSession::pokeAt(int next, double remembered, double level) {
    pokeIndex_ = next;
    std::vector<double> values(frame_.size(), level);
    values[static_cast<size_t>(next)] = remembered;
    segments_.clear();
    return sendFrame(std::move(values));
}

bool MirrorSession::startPokeAll(double level) {
    if (!isOpen() || pokeTimer_.isActive() || frame_.empty()) return false;
    beforePokeAll_ = frame_;
    pokeAllLevel_ = level;
    pokeAllNext_ = 0;
    std::vector<double> values(frame_.size(), level);
    values[0] = kPokeValue;
    const KRVRC rc = sendFrame(std::move(values));
    if (rc != NO_ERR) {
        emit error(errorText(rc));
        finishPokeAll(false);
        return false;
    }
    emit pokeProgress(0, static_cast<int>(frame_.size()));
    pokeTimer_.start();
    return true;
}

void MirrorSession::pokeTick() {
    const int n = static_cast<int>(frame_.size());
    std::vector<double> values = frame_;
    values[static_cast<size_t>(pokeAllNext_)] = pokeAllLevel_;
    if (++pokeAllNext_ >= n) {
        finishPokeAll(true);
        return;
    }
    values[static_cast<size_t>(pokeAllNext_)] = kPokeValue;
    const KRVRC rc = sendFrame(std::move(values));
    if (rc != NO_ERR) {
        emit error(errorText(rc));
        finishPokeAll(false);
        return;
    }
    emit pokeProgress(pokeAllNext_, n);
}

void MirrorSession::stopPokeAll() {
    if (pokeTimer_.isActive() || !beforePokeAll_.empty()) finishPokeAll(false);
}

void MirrorSession::finishPokeAll(bool completed) {
    pokeTimer_.stop();
    if (!beforePokeAll_.empty() && isOpen()) {
        const KRVRC rc = sendFrame(beforePokeAll_);
        if (rc != NO_ERR) emit error(errorText(rc));
    }
    beforePokeAll_.clear();
    emit pokeAllFinished(completed);
}
