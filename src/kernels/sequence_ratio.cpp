#include "kernels/sequence_ratio.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace kt::kernels {

namespace {

struct Match {
    int i, j, size;
};

class Matcher {
public:
    Matcher(const int* a, const int* b, int lb, SequenceScratch& s) : a_(a), b_(b), s_(s) {
        index_second(lb);
        s_.len_prev.assign(lb + 1, 0);
        s_.len_cur.assign(lb + 1, 0);
        s_.stamp_prev.assign(lb + 1, -1);
        s_.stamp_cur.assign(lb + 1, -1);
    }

    ~Matcher() {
        for (int item : s_.used_items) s_.positions[item].clear();
        s_.used_items.clear();
    }

    // Longest matching block in a[alo:ahi] and b[blo:bhi], earliest in a, then in b.
    Match longest(int alo, int ahi, int blo, int bhi) {
        int besti = alo, bestj = blo, bestsize = 0;
        s_.stamp += 2;  // entries of earlier searches never count as the previous row
        for (int i = alo; i < ahi; ++i) {
            const long long stamp = ++s_.stamp;
            const int item = a_[i];
            if (item < (int)s_.positions.size()) {
                for (int j : s_.positions[item]) {
                    if (j < blo) continue;
                    if (j >= bhi) break;
                    // The run ending at (i-1, j-1), stored at index j (index 0 stands for -1).
                    const int k = (s_.stamp_prev[j] == stamp - 1 ? s_.len_prev[j] : 0) + 1;
                    s_.len_cur[j + 1] = k;
                    s_.stamp_cur[j + 1] = stamp;
                    if (k > bestsize) besti = i - k + 1, bestj = j - k + 1, bestsize = k;
                }
            }
            std::swap(s_.len_prev, s_.len_cur);
            std::swap(s_.stamp_prev, s_.stamp_cur);
        }
        while (besti > alo && bestj > blo && a_[besti - 1] == b_[bestj - 1])
            --besti, --bestj, ++bestsize;
        while (besti + bestsize < ahi && bestj + bestsize < bhi &&
               a_[besti + bestsize] == b_[bestj + bestsize])
            ++bestsize;
        return {besti, bestj, bestsize};
    }

private:
    void index_second(int lb) {
        for (int j = 0; j < lb; ++j) {
            const int item = b_[j];
            if (item >= (int)s_.positions.size()) s_.positions.resize(item + 1);
            if (s_.positions[item].empty()) s_.used_items.push_back(item);
            s_.positions[item].push_back(j);
        }
        if (lb >= 200) {
            const size_t limit = lb / 100 + 1;
            for (int item : s_.used_items)
                if (s_.positions[item].size() > limit) s_.positions[item].clear();
        }
    }

    const int* a_;
    const int* b_;
    SequenceScratch& s_;
};

}  // namespace

double sequence_ratio(const int* a, int la, const int* b, int lb, SequenceScratch& s) {
    if (la + lb == 0) return 1.0;
    Matcher matcher(a, b, lb, s);
    long long matches = 0;
    s.queue.clear();
    s.queue.push_back({0, la, 0, lb});
    while (!s.queue.empty()) {
        auto [alo, ahi, blo, bhi] = s.queue.back();
        s.queue.pop_back();
        Match m = matcher.longest(alo, ahi, blo, bhi);
        if (m.size == 0) continue;
        matches += m.size;
        if (alo < m.i && blo < m.j) s.queue.push_back({alo, m.i, blo, m.j});
        if (m.i + m.size < ahi && m.j + m.size < bhi)
            s.queue.push_back({m.i + m.size, ahi, m.j + m.size, bhi});
    }
    return 2.0 * (double)matches / (double)(la + lb);
}

// The matching blocks pair equal items, each item of either sequence at most once, so they
// cover at most the items the two have in common, counted with multiplicity (and never more
// than the shorter sequence). Sequences short enough for a bit mask of the first one's used
// items are counted so; longer ones take the length of the shorter.
int sequence_match_bound(const int* a, int la, const int* b, int lb) {
    if (la > 64 || la <= 0 || lb <= 0) return std::max(0, std::min(la, lb));
    std::uint64_t used = 0;
    int common = 0;
    for (int j = 0; j < lb; ++j)
        for (int i = 0; i < la; ++i)
            if (a[i] == b[j] && !(used >> i & 1)) {
                used |= std::uint64_t{1} << i;
                ++common;
                break;
            }
    return common;
}

}  // namespace kt::kernels
