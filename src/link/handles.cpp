#include "link/handles.h"

#include <condition_variable>
#include <mutex>

namespace ptz {

namespace {

constexpr int kIndexBits = 10;
static_assert(kMaxLinks == 1 << kIndexBits);
constexpr uint32_t kMaxGeneration = (1u << (31 - kIndexBits)) - 1;

struct Slot {
    Link* link = nullptr;
    uint32_t generation = 1;  // never 0, so every handle is positive
    int users = 0;
    bool closing = false;
};

std::mutex tableMutex;
std::condition_variable released;
Slot slots[kMaxLinks];
int nextSlot = 0;  // free slots are taken round-robin, so numbers recur late

int32_t Encode(int index, uint32_t generation) {
    return static_cast<int32_t>((generation << kIndexBits) | static_cast<uint32_t>(index));
}

// The slot that `handle` names while its link is open and not closing.
Slot* Find(int32_t handle, int* index) {
    if (handle <= 0) return nullptr;
    *index = handle & (kMaxLinks - 1);
    Slot& slot = slots[*index];
    const auto generation = static_cast<uint32_t>(handle) >> kIndexBits;
    if (slot.link == nullptr || slot.closing || slot.generation != generation) return nullptr;
    return &slot;
}

}  // namespace

HeldLink::HeldLink(int32_t handle) {
    if (handle <= 0) return;  // never a handle (and the classic door's 0)
    std::lock_guard lock(tableMutex);
    int index = 0;
    if (Slot* slot = Find(handle, &index)) {
        ++slot->users;
        slot_ = index;
        link_ = slot->link;
    }
}

HeldLink::~HeldLink() {
    if (link_ == nullptr) return;
    std::lock_guard lock(tableMutex);
    Slot& slot = slots[slot_];
    if (--slot.users == 0 && slot.closing) released.notify_all();
}

int32_t AddLink(Link* link) {
    std::lock_guard lock(tableMutex);
    for (int n = 0; n < kMaxLinks; ++n) {
        const int index = (nextSlot + n) % kMaxLinks;
        Slot& slot = slots[index];
        if (slot.link != nullptr) continue;
        slot.link = link;
        slot.closing = false;
        nextSlot = (index + 1) % kMaxLinks;
        return Encode(index, slot.generation);
    }
    return 0;
}

Link* RemoveLink(int32_t handle) {
    std::unique_lock lock(tableMutex);
    int index = 0;
    Slot* slot = Find(handle, &index);
    if (slot == nullptr) return nullptr;
    slot->closing = true;
    released.wait(lock, [slot] { return slot->users == 0; });
    Link* link = slot->link;
    slot->link = nullptr;
    slot->closing = false;
    slot->generation = slot->generation == kMaxGeneration ? 1 : slot->generation + 1;
    return link;
}

void CloseAllLinks() {
    for (int index = 0; index < kMaxLinks; ++index) {
        int32_t handle = 0;
        {
            std::lock_guard lock(tableMutex);
            if (slots[index].link == nullptr) continue;
            handle = Encode(index, slots[index].generation);
        }
        if (Link* link = RemoveLink(handle)) {
            Failure ignored;
            CloseLink(*link, ignored);
            delete link;
        }
    }
}

}  // namespace ptz
