// The roster snapshots and the event table.
#include "link/channel_table.h"

#include <cstring>
#include <utility>

namespace {

// A published roster and the one after it; the link is set once, under
// publish_lock, when the next one is published.
struct RosterNode : Roster {
    mutable std::shared_ptr<const RosterNode> next;
};

std::shared_ptr<const RosterNode> make_node(uint64_t version, bool announced,
                                            std::vector<RosterEntry> entries) {
    auto node = std::make_shared<RosterNode>();
    node->version = version;
    node->announced = announced;
    node->entries = std::move(entries);
    std::memset(node->first, 0xFF, sizeof node->first);
    for (size_t k = 0; k < node->entries.size() && k < kChannelCount; ++k) {
        const int c = node->entries[k].channel;
        if (c >= 0 && c < kChannelCount && node->first[c] < 0)
            node->first[c] = static_cast<int16_t>(k);
    }
    return node;
}

std::mutex publish_lock;  // guards newest() and every node's `next`

// The unannounced roster of the start, kept until the reader that walks
// every roster from it (the recorder) takes it over; from then on a roster
// lives while someone holds it or one before it.
std::shared_ptr<const RosterNode>& root() {
    static std::shared_ptr<const RosterNode> node = make_node(0, false, {});
    return node;
}
std::shared_ptr<const RosterNode>& newest() {
    static std::shared_ptr<const RosterNode> node = root();
    return node;
}

EventEntry event_table[kEventTableSize];
std::mutex event_lock;

}  // namespace

std::shared_ptr<const Roster> current_roster() {
    std::lock_guard<std::mutex> lock(publish_lock);
    return newest();
}

std::shared_ptr<const Roster> take_first_roster() {
    std::lock_guard<std::mutex> lock(publish_lock);
    newest();  // made from the root before the root is let go
    return std::exchange(root(), nullptr);
}

std::shared_ptr<const Roster> publish_roster(std::vector<RosterEntry> entries, bool announced) {
    std::lock_guard<std::mutex> lock(publish_lock);
    auto node = make_node(newest()->version + 1, announced, std::move(entries));
    newest()->next = node;
    newest() = node;
    return node;
}

std::shared_ptr<const Roster> next_roster(const Roster& roster) {
    std::lock_guard<std::mutex> lock(publish_lock);
    return static_cast<const RosterNode&>(roster).next;
}

EventEntry* event_entries() { return event_table; }

std::unique_lock<std::mutex> lock_event_table() { return std::unique_lock<std::mutex>(event_lock); }

void clear_event_table() {
    std::lock_guard<std::mutex> lock(event_lock);
    std::memset(event_table, 0, sizeof event_table);
}

void record_event(int16_t event_type, int32_t event_time) {
    std::lock_guard<std::mutex> lock(event_lock);
    // One entry per second, whatever the type.
    for (const EventEntry& entry : event_table)
        if (entry.event_type != 0 && entry.event_time == event_time) return;
    int target = -1;
    for (int i = 0; i < kEventTableSize; ++i) {
        if (event_table[i].event_type == 0) {
            target = i;
            break;
        }
    }
    if (target < 0) {
        // Full: the oldest goes, stored or not; the lowest index among equals.
        target = 0;
        for (int i = 1; i < kEventTableSize; ++i)
            if (event_table[i].event_time < event_table[target].event_time) target = i;
    }
    event_table[target].event_type = event_type;
    event_table[target].event_time = event_time;
    event_table[target].stored = 0;
    event_table[target].attempts = 0;
}
