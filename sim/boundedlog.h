#pragma once
// A record of the most recent entries, bounded both in count and in the
// bytes the entries carry, so that a simulator serving upload after upload
// keeps a useful tail of its traffic without growing without end.
#include <cstddef>
#include <deque>
#include <utility>

namespace sim {

template <class Entry>
class BoundedLog
{
public:
    // `payloadOf(entry)` tells how many bytes an entry carries.
    BoundedLog(size_t maxEntries, size_t maxPayload) : maxEntries(maxEntries), maxPayload(maxPayload) {}

    template <class PayloadOf>
    void Add(Entry entry, PayloadOf payloadOf)
    {
        payload += payloadOf(entry);
        entries.push_back(std::move(entry));
        while (entries.size() > 1 && (entries.size() > maxEntries || payload > maxPayload)) {
            payload -= payloadOf(entries.front());
            entries.pop_front();
        }
    }

    void Clear()
    {
        entries.clear();
        payload = 0;
    }

    const std::deque<Entry>& Entries() const { return entries; }

private:
    size_t maxEntries;
    size_t maxPayload;
    size_t payload = 0;
    std::deque<Entry> entries;
};

} // namespace sim
