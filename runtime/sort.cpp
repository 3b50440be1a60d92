// Stable merge sort and adaptive quicksort over raw fixed-size elements.
//
// Stable sort: a power-driven merge of natural runs. One pass finds runs
// (strictly descending ones are reversed, so equal elements never swap);
// runs shorter than 24 are extended by straight insertion. Each boundary
// between two runs gets a power, the depth of the shallowest node of the
// perfect binary split of [0, n) that separates the two runs' midpoints; a
// run stack with strictly increasing powers decides which adjacent runs to
// merge, which keeps the merge tree close to balanced at a cost of one
// position computation per run. The merge buffer holds the shorter run
// (at most n / 2 elements); merges go forwards or backwards so that the
// buffer always holds the run that was copied out.
//
// Quicksort: the ordered prefix of the input (plus any ordered stretches that
// continue it, gathered when sampling shows the input is largely ordered)
// becomes a sorted pivot sample. A partition picks the sample's median as its
// pivot and hands each side the part of the sample that falls into it; once
// the sample is used up, the pivot is a median of three. Partitions are
// three-way, so runs of equal elements stop the recursion. A depth limit
// switches to heapsort, which bounds the worst case at O(n log n).
//
// Safety against the callback: every scan tests its index bounds rather
// than trusting the order to stop it, so an inconsistent callback cannot
// lead outside the array. Elements move by swaps, or through the merge
// buffer under a guard that copies the buffered elements back into the hole
// they left, so a throwing callback leaves a permutation of the input.
//
// Elements of 1, 2, 4, 8 and 16 bytes use fixed-size moves; other sizes move
// through the generic swap and memcpy.
#include "runtime/sort.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "runtime/error.h"

namespace kel {

void sort_swap(void* a, void* b, uint32_t size, bool byte_mode) {
    auto* x = static_cast<uint8_t*>(a);
    auto* y = static_cast<uint8_t*>(b);
    if (byte_mode) {
        for (uint32_t i = 0; i < size; i++) std::swap(x[i], y[i]);
        return;
    }
    for (uint32_t i = 0; i + 4 <= size; i += 4) {
        uint32_t t, u;
        std::memcpy(&t, x + i, 4);
        std::memcpy(&u, y + i, 4);
        std::memcpy(x + i, &u, 4);
        std::memcpy(y + i, &t, 4);
    }
}

namespace {

constexpr size_t kMinRun = 24;         // stable sort: shortest run before merging
constexpr size_t kInsertionBelow = 8;  // quicksort: partitions this small use insertion
constexpr size_t kSampleStep = 97;     // quicksort: pairs sampled to measure order
constexpr size_t kStretchMin = 4;      // quicksort: shortest ordered stretch gathered
constexpr size_t kGatherStep = 10;     // quicksort: distance between stretch probes
constexpr size_t kNintherFrom = 512;   // quicksort: partitions this large take a median of medians
constexpr size_t kUnevenSplit = 16;    // quicksort: a sample pivot leaving a side under n/16 is dropped
constexpr size_t kRotateBuffer = 1024; // bytes a rotation may copy aside

// Element policies: how elements of one size are moved.
template <uint32_t N>
struct FixedElem {
    static constexpr size_t size() { return N; }
    static void swap(uint8_t* a, uint8_t* b) {
        uint8_t t[N];
        std::memcpy(t, a, N);
        std::memcpy(a, b, N);
        std::memcpy(b, t, N);
    }
    static void put(uint8_t* dst, const uint8_t* src) { std::memcpy(dst, src, N); }
};

struct AnyElem {
    uint32_t n;
    size_t size() const { return n; }
    void swap(uint8_t* a, uint8_t* b) const { sort_swap(a, b, n, n % 4 != 0); }
    void put(uint8_t* dst, const uint8_t* src) const { std::memcpy(dst, src, n); }
};

template <class F>
decltype(auto) with_elem(uint32_t size, F&& f) {
    switch (size) {
    case 1: return f(FixedElem<1>{});
    case 2: return f(FixedElem<2>{});
    case 4: return f(FixedElem<4>{});
    case 8: return f(FixedElem<8>{});
    case 16: return f(FixedElem<16>{});
    default: return f(AnyElem{size});
    }
}

// On scope exit, copies the bytes [*from, *to) to *dst: the merge's buffered
// elements back into the hole they left, whether the merge finished or the
// callback threw.
struct HoleFill {
    uint8_t* const* dst;
    const uint8_t* const* from;
    const uint8_t* const* to;
    ~HoleFill() {
        if (*to > *from) std::memcpy(*dst, *from, static_cast<size_t>(*to - *from));
    }
};

struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};

struct Range3 {
    size_t lt_end;    // end of the elements ordered before the pivot
    size_t gt_start;  // start of the elements ordered after it
};

template <class E>
struct Sorter {
    E elem;
    SortCompare compare;
    uintptr_t flags1;
    uintptr_t flags2;

    size_t esize() const { return elem.size(); }
    int32_t cmp(const uint8_t* x, const uint8_t* y) const { return compare(x, y, flags1, flags2); }
    void swap(uint8_t* a, uint8_t* b) const { elem.swap(a, b); }

    // Reverses the elements of [lo, hi).
    void reverse(uint8_t* lo, uint8_t* hi) const {
        const size_t s = esize();
        while (static_cast<size_t>(hi - lo) >= 2 * s) {
            hi -= s;
            swap(lo, hi);
            lo += s;
        }
    }

    // Swaps [count] elements at [x] with those at [y]; the ranges do not overlap.
    void swap_ranges(uint8_t* x, uint8_t* y, size_t count) const {
        const size_t s = esize();
        for (size_t i = 0; i < count; i++, x += s, y += s) swap(x, y);
    }

    // [x, y)[y, z) becomes [y, z)[x, y), both in their order.
    void rotate(uint8_t* x, uint8_t* y, uint8_t* z) const {
        const size_t a = static_cast<size_t>(y - x), b = static_cast<size_t>(z - y);
        if (a == 0 || b == 0) return;
        uint8_t aside[kRotateBuffer];
        if (a <= sizeof aside) {
            std::memcpy(aside, x, a);
            std::memmove(x, y, b);
            std::memcpy(x + b, aside, a);
        } else if (b <= sizeof aside) {
            std::memcpy(aside, y, b);
            std::memmove(x + b, x, a);
            std::memcpy(x, aside, b);
        } else {
            reverse(x, y);
            reverse(y, z);
            reverse(x, z);
        }
    }

    // Moves [x, y) behind [y, z) keeping its order; [y, z) may be permuted.
    void move_behind(uint8_t* x, uint8_t* y, uint8_t* z) const {
        const size_t a = static_cast<size_t>(y - x), b = static_cast<size_t>(z - y);
        if (a == 0 || b == 0) return;
        if (a <= b) swap_ranges(x, z - a, a / esize());
        else rotate(x, y, z);
    }

    // Straight insertion of the elements [from, to) into the sorted [lo, from).
    void insertion(uint8_t* lo, uint8_t* from, uint8_t* to) const {
        const size_t s = esize();
        for (uint8_t* p = from; p < to; p += s)
            for (uint8_t* q = p; q > lo && cmp(q - s, q) > 0; q -= s) swap(q - s, q);
    }

    // ---- stable merge sort

    uint8_t* find_run(uint8_t* start, uint8_t* end) const {
        const size_t s = esize();
        if (static_cast<size_t>(end - start) <= s) return end;
        uint8_t* p = start + s;
        if (cmp(start, p) <= 0) {
            while (p + s < end && cmp(p, p + s) <= 0) p += s;
            return p + s;
        }
        while (p + s < end && cmp(p, p + s) > 0) p += s;
        reverse(start, p + s);
        return p + s;
    }

    // The run at [start], extended to the minimum run length where the
    // array allows.
    uint8_t* next_run(uint8_t* start, uint8_t* end) const {
        const size_t s = esize();
        uint8_t* run_end = find_run(start, end);
        uint8_t* want = start + std::min(kMinRun, static_cast<size_t>(end - start) / s) * s;
        if (run_end < want) {
            insertion(start, run_end, want);
            run_end = want;
        }
        return run_end;
    }

    void merge(uint8_t* lo, uint8_t* mid, uint8_t* hi, uint8_t* temp) const {
        const size_t s = esize();
        const size_t left = static_cast<size_t>(mid - lo), right = static_cast<size_t>(hi - mid);
        if (right < left) {
            // Backwards from hi; the buffer holds the right run, the hole sits
            // between the left run's remainder and the output.
            std::memcpy(temp, mid, right);
            const uint8_t* buf = temp;
            const uint8_t* buf_end = temp + right;
            uint8_t* l = mid;
            uint8_t* out = hi;
            HoleFill fill{&l, &buf, &buf_end};
            while (buf_end > buf && l > lo) {
                out -= s;
                if (cmp(l - s, buf_end - s) <= 0) {
                    buf_end -= s;
                    elem.put(out, buf_end);
                } else {
                    l -= s;
                    elem.put(out, l);
                }
            }
        } else {
            // Forwards from lo; the buffer holds the left run, the hole sits
            // between the output and the right run's remainder.
            std::memcpy(temp, lo, left);
            const uint8_t* buf = temp;
            const uint8_t* buf_end = temp + left;
            uint8_t* r = mid;
            uint8_t* out = lo;
            HoleFill fill{&out, &buf, &buf_end};
            while (buf < buf_end && r < hi) {
                if (cmp(buf, r) <= 0) {
                    elem.put(out, buf);
                    buf += s;
                } else {
                    elem.put(out, r);
                    r += s;
                }
                out += s;
            }
        }
    }

    // Power of the boundary between runs [s1, e1) and [e1, e2) of an array of
    // n elements: one more than the number of leading bits that the two
    // midpoints, as fractions of n, have in common.
    static unsigned boundary_power(uint64_t s1, uint64_t e1, uint64_t e2, uint64_t n) {
        uint64_t a = s1 + e1, b = e1 + e2;  // twice the midpoints, both below 2n
        unsigned power = 0;
        while ((a < n) == (b < n)) {
            power++;
            if (a >= n) {
                a -= n;
                b -= n;
            }
            a <<= 1;
            b <<= 1;
        }
        return power + 1;
    }

    void stable(uint8_t* base, size_t n) const {
        if (n < 2) return;
        const size_t s = esize();
        const uint64_t temp_bytes = static_cast<uint64_t>(n / 2) * s;
        if (temp_bytes > 0x7FFFFFFF) error_raise(ErrCat::Script, "too-long");
        std::unique_ptr<uint8_t, FreeDeleter> temp(static_cast<uint8_t*>(std::malloc(temp_bytes)));
        if (!temp) error_raise(ErrCat::Internal, "no-memory");

        // Powers on the stack strictly increase and never exceed 34 for
        // 32-bit counts, so a fixed stack is always deep enough.
        struct Entry {
            uint8_t* start;
            unsigned power;
        } stack[64];
        size_t depth = 0;

        uint8_t* const end = base + n * s;
        uint8_t* run = base;
        uint8_t* run_end = next_run(run, end);
        while (run_end < end) {
            uint8_t* next_end = next_run(run_end, end);
            unsigned power = boundary_power(static_cast<uint64_t>(run - base) / s,
                                            static_cast<uint64_t>(run_end - base) / s,
                                            static_cast<uint64_t>(next_end - base) / s, n);
            while (depth > 0 && stack[depth - 1].power > power) {
                uint8_t* left = stack[--depth].start;
                merge(left, run, run_end, temp.get());
                run = left;
            }
            stack[depth++] = {run, power};
            run = run_end;
            run_end = next_end;
        }
        while (depth > 0) {
            uint8_t* left = stack[--depth].start;
            merge(left, run, end, temp.get());
            run = left;
        }
    }

    // ---- quicksort

    // Whether the answer [c] for an adjacent pair runs against direction
    // [dir] (+1 ascending, -1 descending); equal pairs fit either.
    static bool against(int32_t c, int dir) { return dir > 0 ? c > 0 : c < 0; }

    static int depth_limit(size_t n) {
        int bits = 0;
        while (n > 1) {
            n >>= 1;
            bits++;
        }
        return 2 * bits + 2;
    }

    void quick(uint8_t* base, size_t n) const {
        if (n < 2) return;
        const size_t s = esize();
        auto at = [base, s](size_t i) { return base + i * s; };

        // The ordered prefix; its direction is set by the first unequal pair.
        size_t i = 0;
        int32_t c = 0;
        while (i + 1 < n && (c = cmp(at(i), at(i + 1))) == 0) i++;
        if (i + 1 >= n) return;
        int dir = c < 0 ? 1 : -1;
        i++;
        while (i + 1 < n && !against(cmp(at(i), at(i + 1)), dir)) i++;
        size_t prefix = i + 1;

        if (prefix < n) {
            long balance = 0;
            for (size_t j = prefix; j + 1 < n; j += kSampleStep) {
                c = cmp(at(j), at(j + 1));
                if (c != 0) balance += against(c, dir) ? -1 : 1;
            }
            if (static_cast<size_t>(std::labs(balance)) > n / 512) {
                if (balance < 0) {
                    reverse(base, at(prefix));
                    dir = -dir;
                }
                prefix = gather(base, n, prefix, dir);
            }
        }
        if (dir < 0) reverse(base, at(prefix));
        if (prefix < n) partition_sort(base, 0, prefix, n, depth_limit(n));
    }

    // Moves ordered stretches that continue the prefix [0, prefix) (ordered
    // in direction [dir]) behind it; returns the new prefix end.
    size_t gather(uint8_t* base, size_t n, size_t prefix, int dir) const {
        const size_t s = esize();
        auto at = [base, s](size_t i) { return base + i * s; };
        prefix = trim_stretch(base, n, 0, prefix, dir);
        size_t j = prefix;
        while (j + kStretchMin < n) {
            bool ordered = !against(cmp(at(prefix - 1), at(j)), dir);
            for (size_t k = j; ordered && k + 1 < j + kStretchMin; k++)
                ordered = !against(cmp(at(k), at(k + 1)), dir);
            if (!ordered) {
                j += kGatherStep;
                continue;
            }
            size_t k = j + kStretchMin;
            while (k < n && !against(cmp(at(k - 1), at(k)), dir)) k++;
            const size_t len = trim_stretch(base, n, j, k, dir) - j;
            if (j - prefix >= len) swap_ranges(at(prefix), at(j), len);
            else rotate(at(prefix), at(j), at(j + len));
            prefix += len;
            j = k;
        }
        return prefix;
    }

    // End of the part of the ordered stretch [start, end) worth gathering.
    // A stretch that stops before the array's end stops at a pair against
    // the order, so its last element may be an outlier, and so may one or
    // two before it; once in the prefix, such an outlier would bar every
    // later stretch. The last element is left out, and up to two more that
    // order after an element further on.
    size_t trim_stretch(uint8_t* base, size_t n, size_t start, size_t end, int dir) const {
        const size_t s = esize();
        if (end >= n) return end;
        end--;
        const size_t ahead = end + 1 + kGatherStep;
        for (int i = 0; i < 2 && ahead < n && end > start + 1; i++) {
            if (!against(cmp(base + (end - 1) * s, base + ahead * s), dir)) break;
            end--;
        }
        return end;
    }

    // Index of the median of three elements by the callback's answers.
    size_t median3(uint8_t* base, size_t i, size_t j, size_t k) const {
        const size_t s = esize();
        if (cmp(base + i * s, base + j * s) > 0) std::swap(i, j);
        if (cmp(base + j * s, base + k * s) <= 0) return j;
        return cmp(base + i * s, base + k * s) > 0 ? i : k;
    }

    // A median of elements spread over the whole partition [lo, lo + n): of
    // three, or of three medians of three when the partition is large. Taking
    // them from the partition's ends or from its first elements would pick
    // extreme pivots on nearly ordered data.
    size_t pick_pivot(uint8_t* base, size_t lo, size_t n) const {
        if (n < kNintherFrom) return median3(base, lo + n / 4, lo + n / 2, lo + 3 * n / 4);
        const size_t q = n / 8, h = q / 2;
        return median3(base, median3(base, lo + q - h, lo + q, lo + q + h),
                       median3(base, lo + 4 * q - h, lo + 4 * q, lo + 4 * q + h),
                       median3(base, lo + 7 * q - h, lo + 7 * q, lo + 7 * q + h));
    }

    // Three-way partition of [lo, hi) around the element at [pivot], which
    // lies outside the range: before, equal, after.
    Range3 partition3(uint8_t* base, const uint8_t* pivot, size_t lo, size_t hi) const {
        const size_t s = esize();
        auto at = [base, s](size_t i) { return base + i * s; };
        // [lo, a) equal, [a, b) before, (c, d] after, (d, hi) equal; lo >= 1,
        // so c and d never wrap below zero.
        size_t a = lo, b = lo, c = hi - 1, d = hi - 1;
        for (;;) {
            int32_t r;
            while (b <= c && (r = cmp(at(b), pivot)) <= 0) {
                if (r == 0) {
                    if (a != b) swap(at(a), at(b));
                    a++;
                }
                b++;
            }
            while (b <= c && (r = cmp(at(c), pivot)) >= 0) {
                if (r == 0) {
                    if (c != d) swap(at(c), at(d));
                    d--;
                }
                c--;
            }
            if (b > c) break;
            if (b == c) {  // answered both ways: an inconsistent callback
                c--;
                break;
            }
            swap(at(b), at(c));
            b++;
            c--;
        }
        size_t m = std::min(a - lo, b - a);
        swap_ranges(at(lo), at(b - m), m);
        m = std::min(d - c, hi - 1 - d);
        swap_ranges(at(b), at(hi - m), m);
        return {lo + (b - a), hi - (d - c)};
    }

    void sift_down(uint8_t* base, size_t i, size_t n) const {
        const size_t s = esize();
        auto at = [base, s](size_t k) { return base + k * s; };
        for (;;) {
            size_t child = 2 * i + 1;
            if (child >= n) return;
            if (child + 1 < n && cmp(at(child + 1), at(child)) > 0) child++;
            if (cmp(at(child), at(i)) <= 0) return;
            swap(at(i), at(child));
            i = child;
        }
    }

    void heapsort(uint8_t* base, size_t n) const {
        for (size_t i = n / 2; i-- > 0;) sift_down(base, i, n);
        for (size_t end = n; end-- > 1;) {
            swap(base, base + end * esize());
            sift_down(base, 0, end);
        }
    }

    // Sorts [lo, hi), whose prefix [lo, sample_end) is already sorted and
    // serves as the pivot sample.
    void partition_sort(uint8_t* base, size_t lo, size_t sample_end, size_t hi, int depth) const {
        const size_t s = esize();
        auto at = [base, s](size_t i) { return base + i * s; };
        while (sample_end < hi) {
            const size_t n = hi - lo;
            if (n < kInsertionBelow) {
                insertion(at(lo), at(std::max(sample_end, lo + 1)), at(hi));
                return;
            }
            size_t p;
            const bool from_sample = sample_end - lo > 2;
            if (from_sample) {
                // Halving the sample bounds these levels, so they spend no depth.
                p = lo + (sample_end - lo) / 2;
            } else {
                if (depth-- == 0) {
                    heapsort(at(lo), n);
                    return;
                }
                const size_t mid = pick_pivot(base, lo, n);
                if (mid != lo) swap(at(lo), at(mid));
                p = lo;
                sample_end = lo + 1;
            }
            const size_t upper = sample_end - p - 1;  // sample elements after the pivot
            const Range3 r = partition3(base, at(p), sample_end, hi);
            const size_t less = r.lt_end - sample_end, equal = r.gt_start - r.lt_end;
            // [p, sample_end) goes behind the lesser elements, then the upper
            // sample behind the equal ones: lower | pivot, equal | upper, greater.
            move_behind(at(p), at(sample_end), at(r.lt_end));
            const size_t pivot = p + less;
            move_behind(at(pivot + 1), at(r.lt_end), at(r.gt_start));

            const size_t left_lo = lo, left_sample = p, left_hi = pivot;
            const size_t right_lo = pivot + 1 + equal, right_sample = right_lo + upper;
            // A sample that splits this unevenly does not represent the rest
            // (it was gathered from a narrow band): the larger side drops it.
            const bool uneven = from_sample && std::min(left_hi - left_lo, hi - right_lo) < n / kUnevenSplit;
            if (left_hi - left_lo < hi - right_lo) {
                partition_sort(base, left_lo, left_sample, left_hi, depth);
                lo = right_lo;
                sample_end = uneven ? right_lo : right_sample;
            } else {
                partition_sort(base, right_lo, right_sample, hi, depth);
                lo = left_lo;
                sample_end = uneven ? left_lo : left_sample;
                hi = left_hi;
            }
        }
    }
};

template <class E>
Sorter<E> sorter(E elem, SortCompare compare, uintptr_t flags1, uintptr_t flags2) {
    return Sorter<E>{elem, compare, flags1, flags2};
}

}  // namespace

void sort_stable(void* base, uint32_t count, uint32_t size, uintptr_t flags1, uintptr_t flags2,
                 SortCompare compare) {
    if (count < 2 || size == 0) return;
    with_elem(size, [&](auto elem) {
        sorter(elem, compare, flags1, flags2).stable(static_cast<uint8_t*>(base), count);
    });
}

void sort_quick(void* base, uint32_t count, uint32_t size, uintptr_t flags1, uintptr_t flags2,
                SortCompare compare) {
    if (count < 2 || size == 0) return;
    with_elem(size, [&](auto elem) {
        sorter(elem, compare, flags1, flags2).quick(static_cast<uint8_t*>(base), count);
    });
}

uint8_t* sort_find_run(uint8_t* start, uint8_t* end, uint32_t size, uintptr_t flags1, uintptr_t flags2,
                       SortCompare compare) {
    if (size == 0) return end;
    return with_elem(size, [&](auto elem) { return sorter(elem, compare, flags1, flags2).find_run(start, end); });
}

void sort_merge_runs(uint8_t* lo, uint8_t* mid, uint8_t* hi, uint8_t* temp, const SortContext& ctx) {
    if (ctx.size == 0 || lo == mid || mid == hi) return;
    with_elem(ctx.size, [&](auto elem) {
        sorter(elem, ctx.compare, ctx.flags1, ctx.flags2).merge(lo, mid, hi, temp);
    });
}

}  // namespace kel
