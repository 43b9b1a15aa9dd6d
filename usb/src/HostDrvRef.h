// A counted reference to the host-driver server's interface.
#pragma once

#include "krv/dravix/IHostDrv.h"

#include <utility>

namespace MirrorKit::USB {

// Holds one reference; copying adds one, destruction releases it.
class HostDrvRef {
public:
    HostDrvRef() = default;
    // Adopts a reference the caller already owns.
    static HostDrvRef adopt(IHostDrv* p) {
        HostDrvRef r;
        r.p_ = p;
        return r;
    }
    HostDrvRef(const HostDrvRef& o) : p_(o.p_) {
        if (p_) p_->AddRef();
    }
    HostDrvRef(HostDrvRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    HostDrvRef& operator=(HostDrvRef o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~HostDrvRef() { reset(); }

    void reset() {
        if (p_) std::exchange(p_, nullptr)->Release();
    }
    IHostDrv* get() const { return p_; }
    IHostDrv* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    IHostDrv* p_ = nullptr;
};

}  // namespace MirrorKit::USB
