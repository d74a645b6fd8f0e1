// The handle table: links named by a positive int32 handle, as files are by
// descriptors. A handle carries its slot and the slot's generation, so a
// closed handle stays refused even after its slot holds a new link.
#pragma once

#include <cstdint>

#include "link/link.h"

namespace ptz {

constexpr int kMaxLinks = 1024;

// A handle resolved for one call: while it lives, the link stays open (a
// close waits for it). get() is nullptr when the handle names no open link.
class HeldLink {
public:
    explicit HeldLink(int32_t handle);
    ~HeldLink();
    HeldLink(const HeldLink&) = delete;
    HeldLink& operator=(const HeldLink&) = delete;
    Link* get() const { return link_; }

private:
    int slot_ = -1;
    Link* link_ = nullptr;
};

// Puts an open link into the table: its handle, or 0 when the table is full.
int32_t AddLink(Link* link);
// Takes the link out of the table once no call holds it any more; calls that
// arrive meanwhile are refused. nullptr when the handle names no open link.
Link* RemoveLink(int32_t handle);
// Closes and frees every link in the table (library reset; no call may run).
void CloseAllLinks();

}  // namespace ptz
