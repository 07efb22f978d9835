#pragma once
// The order of the event table: ascending Day, then ascending Time text within a day, with
// records of equal Day and Time left in the order that two exchange passes leave them. That
// order decides which of several events due at the same second runs first, so it is reproduced
// exactly: OrderByExchangePasses is the literal procedure (quadratic, kept as the reference);
// OrderEventTable leaves the same order in O(n log n).
//
// Works on any record type with fields Day (a signed integer) and Time (std::string).
#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace qtx {

// The literal procedure: for i from the first to the second-last index and j from i + 1 to the
// last, pass 1 swaps records i and j when Day(i) > Day(j); pass 2 swaps them when the days are
// equal and Time(i) > Time(j) (texts compared code by code, unsigned).
template <class Rec>
void OrderByExchangePasses(std::vector<Rec>& t) {
    const size_t n = t.size();
    for (size_t i = 0; i + 1 < n; ++i)
        for (size_t j = i + 1; j < n; ++j)
            if (t[i].Day > t[j].Day)
                std::swap(t[i], t[j]);
    for (size_t i = 0; i + 1 < n; ++i)
        for (size_t j = i + 1; j < n; ++j)
            if (t[i].Day == t[j].Day && t[i].Time > t[j].Time)
                std::swap(t[i], t[j]);
}

// Where one exchange pass leaves each element, for keys given as dense ranks 0 .. rankCount - 1:
// result[p] is the index of the element the pass puts at position p. The pass is: for i
// ascending, for j > i ascending, swap elements i and j when key(j) < key(i).
//
// Why this gives the same order as the pass.
//
// 1. One outer step i. Inside the j loop, position i holds a running value; it is replaced
//    exactly when a strictly smaller key comes by. So the step touches only the "chain" of the
//    suffix a[i..]: its head (position i) and every element whose key is smaller than all keys
//    before it in the suffix (the strict prefix minima). The last chain element is the first
//    occurrence of the suffix's minimum. The step puts that minimum at position i and moves
//    every other chain element into the position of the next chain element; nothing else moves.
//    So the pass outputs, step by step, the first occurrence of the current minimum: the result
//    is sorted by key, and the elements of one key K come out in the relative order they have
//    at the first step whose minimum is K. While K is the minimum, the chain ends at the first
//    K, so the other K elements do not move relative to each other.
//
// 2. Before that, only elements with key <= K matter for the order of the K elements. Let R be
//    the subsequence of the suffix with keys <= K; call its elements K (key equal to K) or L
//    (key below K). An element of R is a strict prefix minimum of the suffix exactly when it is
//    one of R (larger keys before it never block it), and R's first element always is one. So a
//    step acts on R by itself: R's first element leaves its slot, each chain element of R moves
//    into the next one's slot, and the minimum (an L, since K is not yet the minimum) leaves.
//    If R starts with an L, every chain element is an L: the K elements keep their slots and
//    order. If R starts with a run of a K elements, the chain's second element is the first L
//    after that run: the run's first K element jumps to the end of the run, the others keep
//    their order. Either way the step removes one L slot, the first one, from R's pattern.
//
// 3. Hence, with the K elements k1 .. km in original order and, for each L element in original
//    order, c = the number of K elements originally before it: every L rotates the first c
//    elements of the current K list left by one (nothing when c = 0); the final list is the
//    order of the K elements in the result. The c values never decrease, so the list is a queue
//    D that grows at its back: for gap c (the g_c L elements between k_c and k_(c+1), or after
//    km), push k_c and rotate D left by g_c mod c. The g_c come from a Fenwick tree over
//    positions, filled key by key in ascending order.
//
// Cost: O(n log n + rankCount) for the grouping and counts, plus the rotations, each done in
// the cheaper direction (at most min(g_c, c / 2) queue moves).
inline std::vector<uint32_t> ExchangePassOrder(const std::vector<uint32_t>& rank,
                                               uint32_t rankCount) {
    const uint32_t n = static_cast<uint32_t>(rank.size());
    // Counting sort: the elements of each key, in original order.
    std::vector<uint32_t> start(rankCount + 1, 0);
    for (uint32_t r : rank)
        ++start[r + 1];
    for (uint32_t r = 0; r < rankCount; ++r)
        start[r + 1] += start[r];
    std::vector<uint32_t> byKey(n);
    {
        std::vector<uint32_t> fill(start.begin(), start.end() - 1);
        for (uint32_t i = 0; i < n; ++i)
            byKey[fill[rank[i]]++] = i;
    }

    std::vector<uint32_t> fenwick(n + 1, 0);  // positions of the keys already placed (smaller)
    auto countBefore = [&](uint32_t pos) {
        uint32_t s = 0;
        for (uint32_t i = pos; i > 0; i &= i - 1)
            s += fenwick[i];
        return s;
    };
    auto place = [&](uint32_t pos) {
        for (uint32_t i = pos + 1; i <= n; i += i & (~i + 1))
            ++fenwick[i];
    };

    std::vector<uint32_t> result(n);
    std::vector<uint32_t> before;
    // The queue D as a ring of capacity m: it only grows at its back and rotates, so the slot
    // after its last element is always free.
    std::vector<uint32_t> ring;
    uint32_t smaller = 0;  // elements with a key below the current group's
    uint32_t out = 0;
    for (uint32_t r = 0; r < rankCount; ++r) {
        const uint32_t g = start[r], m = start[r + 1] - start[r];
        if (m == 0)
            continue;
        if (m > 1) {
            before.resize(m);
            for (uint32_t c = 0; c < m; ++c)
                before[c] = countBefore(byKey[g + c]);
            ring.resize(m);
            uint32_t head = 0, size = 0;
            auto slot = [m](uint32_t i) { return i >= m ? i - m : i; };  // i < 2m
            for (uint32_t c = 0; c < m; ++c) {
                ring[slot(head + size)] = byKey[g + c];
                ++size;
                const uint32_t gap = (c + 1 < m ? before[c + 1] : smaller) - before[c];
                const uint32_t left = gap % size;
                if (left <= size - left) {
                    for (uint32_t k = 0; k < left; ++k) {  // front to back
                        ring[slot(head + size)] = ring[head];
                        head = slot(head + 1);
                    }
                } else {
                    for (uint32_t k = 0; k < size - left; ++k) {  // back to front
                        head = slot(head + m - 1);
                        ring[head] = ring[slot(head + size)];
                    }
                }
            }
            for (uint32_t k = 0; k < m; ++k)
                result[out++] = ring[slot(head + k)];
        } else {
            result[out++] = byKey[g];  // a key of its own: nothing to rotate
        }
        for (uint32_t c = 0; c < m; ++c)
            place(byKey[g + c]);
        smaller += m;
    }
    return result;
}

// Reorders t in place so that position p receives the element at order[p]: the permutation is
// followed cycle by cycle with one record held aside, so no second table is ever built.
template <class Rec>
void ApplyOrder(std::vector<Rec>& t, const std::vector<uint32_t>& order) {
    std::vector<bool> placed(order.size(), false);
    for (size_t start = 0; start < order.size(); ++start) {
        if (placed[start] || order[start] == start) {
            placed[start] = true;
            continue;
        }
        Rec held = std::move(t[start]);
        size_t p = start;
        while (order[p] != start) {
            t[p] = std::move(t[order[p]]);
            placed[p] = true;
            p = order[p];
        }
        t[p] = std::move(held);
        placed[p] = true;
    }
}

// Dense ranks of text keys (0 .. count - 1, equal texts equal ranks, ordered code by code).
inline uint32_t TextRanks(const std::vector<std::string_view>& keys, std::vector<uint32_t>& rank) {
    const size_t n = keys.size();
    rank.assign(n, 0);
    std::vector<uint32_t> idx(n);
    for (size_t i = 0; i < n; ++i)
        idx[i] = static_cast<uint32_t>(i);
    // Texts of at most 8 bytes without a zero byte ("hh:mm:ss") order as big-endian numbers.
    bool packable = true;
    std::vector<uint64_t> packed(n);
    for (size_t i = 0; i < n && packable; ++i) {
        if (keys[i].size() > 8 || keys[i].find('\0') != std::string_view::npos) {
            packable = false;
            break;
        }
        uint64_t v = 0;
        for (size_t k = 0; k < 8; ++k)
            v = (v << 8) | (k < keys[i].size() ? static_cast<unsigned char>(keys[i][k]) : 0u);
        packed[i] = v;
    }
    uint32_t count = 0;
    if (packable) {
        // Radix sort, least significant byte first, skipping bytes that are the same in all.
        std::vector<std::pair<uint64_t, uint32_t>> pairs(n), spare(n);
        for (size_t i = 0; i < n; ++i)
            pairs[i] = {packed[i], static_cast<uint32_t>(i)};
        uint64_t differ = 0;
        for (size_t i = 1; i < n; ++i)
            differ |= packed[i] ^ packed[0];
        for (int shift = 0; shift < 64; shift += 8) {
            if (((differ >> shift) & 0xFF) == 0)
                continue;
            size_t bucket[257] = {};
            for (const auto& pr : pairs)
                ++bucket[((pr.first >> shift) & 0xFF) + 1];
            for (int b = 0; b < 256; ++b)
                bucket[b + 1] += bucket[b];
            for (const auto& pr : pairs)
                spare[bucket[(pr.first >> shift) & 0xFF]++] = pr;
            pairs.swap(spare);
        }
        for (size_t k = 0; k < n; ++k) {
            if (k > 0 && pairs[k - 1].first != pairs[k].first)
                ++count;
            rank[pairs[k].second] = count;
        }
    } else {
        std::sort(idx.begin(), idx.end(),
                  [&](uint32_t a, uint32_t b) { return keys[a] < keys[b]; });
        for (size_t k = 0; k < n; ++k) {
            if (k > 0 && keys[idx[k - 1]] != keys[idx[k]])
                ++count;
            rank[idx[k]] = count;
        }
    }
    return n ? count + 1 : 0;
}

// The same order as OrderByExchangePasses. Pass 1 is an exchange pass on Day. After it the
// table is sorted by Day, so pass 2 only ever compares records of the same day and swaps by
// Time: that is one exchange pass on the pair (Day, Time), whose pairs for different days never
// swap because they are already in order.
template <class Rec>
void OrderEventTable(std::vector<Rec>& t) {
    const size_t n = t.size();
    if (n < 2)
        return;
    std::vector<uint32_t> rank(n), order;
    {
        std::vector<uint32_t> dayRank(65536, 0);
        for (const Rec& r : t)
            dayRank[static_cast<uint16_t>(r.Day + 32768)] = 1;
        uint32_t count = 0;
        for (uint32_t& d : dayRank) {
            uint32_t present = d;
            d = count;
            count += present;
        }
        for (size_t i = 0; i < n; ++i)
            rank[i] = dayRank[static_cast<uint16_t>(t[i].Day + 32768)];
        order = ExchangePassOrder(rank, count);
    }
    // The table after pass 1, seen through order: position p holds t[order[p]].
    // Days and times gathered once in stored order, then permuted as small values: the records
    // themselves are touched in random order only by the final move.
    std::vector<std::string_view> stored(n);
    std::vector<int32_t> storedDay(n), day(n);
    for (size_t i = 0; i < n; ++i) {
        stored[i] = t[i].Time;
        storedDay[i] = t[i].Day;
    }
    std::vector<std::string_view> times(n);
    for (size_t p = 0; p < n; ++p) {
        times[p] = stored[order[p]];
        day[p] = storedDay[order[p]];
    }
    std::vector<uint32_t> timeRank;
    const uint32_t timeCount = TextRanks(times, timeRank);
    // Dense ranks of (Day, Time): within each run of one day, the distinct time ranks in order.
    std::vector<uint32_t> seen(timeCount, UINT32_MAX), local(timeCount, 0), distinct;
    uint32_t offset = 0;
    for (size_t b = 0; b < n;) {
        size_t e = b + 1;
        while (e < n && day[e] == day[b])
            ++e;
        distinct.clear();
        for (size_t p = b; p < e; ++p)
            if (seen[timeRank[p]] != b) {
                seen[timeRank[p]] = static_cast<uint32_t>(b);
                distinct.push_back(timeRank[p]);
            }
        std::sort(distinct.begin(), distinct.end());
        for (size_t k = 0; k < distinct.size(); ++k)
            local[distinct[k]] = static_cast<uint32_t>(k);
        for (size_t p = b; p < e; ++p)
            rank[p] = offset + local[timeRank[p]];
        offset += static_cast<uint32_t>(distinct.size());
        b = e;
    }
    std::vector<uint32_t> second = ExchangePassOrder(rank, offset);
    for (uint32_t& k : second)
        k = order[k];
    ApplyOrder(t, second);
}

}  // namespace qtx
