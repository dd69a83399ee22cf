// Fixed-size depth filters written once over a lane type (simd_traits.h) and
// compiled once per instruction set.
//
// Each output row is computed in chunks of columns. A column stage reduces
// the window's rows to a few planes per column (sorted column, column sums,
// column maxima) in a stack buffer, once per column; a row stage combines
// the planes of neighbouring columns for each output pixel. Columns outside
// the image are copies of the border column's planes, which is exactly the
// clamped border rule. Nothing is allocated.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imgproc/filter_set.h"
#include "imgproc/median5_net.h"
#include "imgproc/simd_traits.h"

namespace KX_SIMD_NS {

inline int clamp_index(int v, int hi) { return v < 0 ? 0 : (v > hi ? hi : v); }

template <class W>
inline void sort2(typename W::reg &a, typename W::reg &b) {
  const typename W::reg lo = W::min(a, b);
  b = W::max(a, b);
  a = lo;
}

template <class W>
inline typename W::reg med3(typename W::reg a, typename W::reg b, typename W::reg c) {
  return W::max(W::min(a, b), W::min(W::max(a, b), c));
}

// Planes: sorted column (low, middle, high).
struct Median3 {
  static constexpr int R = 1, P = 3, P2 = 0;
  template <class W, class PL>
  static void column(const uint16_t *const *rows, int x, const PL &pl, int i) {
    auto a = W::load(rows[0] + x), b = W::load(rows[1] + x), c = W::load(rows[2] + x);
    sort2<W>(a, b);
    sort2<W>(b, c);
    sort2<W>(a, b);
    W::store(pl[0] + i, a);
    W::store(pl[1] + i, b);
    W::store(pl[2] + i, c);
  }
  template <class W, class PL>
  static typename W::reg row(const PL &pl, int i, const uint16_t *const *, int, uint32_t) {
    const auto lo =
        W::max(W::max(W::load(pl[0] + i), W::load(pl[0] + i + 1)), W::load(pl[0] + i + 2));
    const auto hi =
        W::min(W::min(W::load(pl[2] + i), W::load(pl[2] + i + 1)), W::load(pl[2] + i + 2));
    const auto mid = med3<W>(W::load(pl[1] + i), W::load(pl[1] + i + 1), W::load(pl[1] + i + 2));
    return med3<W>(lo, mid, hi);
  }
};

// Planes 0..4: sorted column; planes 5..14: merge of the sorted columns i
// and i + 1.
struct Median5 {
  static constexpr int R = 2, P = 5, P2 = 10;
  template <class W, class PL>
  static void column(const uint16_t *const *rows, int x, const PL &pl, int i) {
    typename W::reg v[5];
    for (int k = 0; k < 5; ++k) v[k] = W::load(rows[k] + x);
    sort2<W>(v[0], v[1]);
    sort2<W>(v[3], v[4]);
    sort2<W>(v[2], v[4]);
    sort2<W>(v[2], v[3]);
    sort2<W>(v[0], v[3]);
    sort2<W>(v[0], v[2]);
    sort2<W>(v[1], v[4]);
    sort2<W>(v[1], v[3]);
    sort2<W>(v[1], v[2]);
    for (int k = 0; k < 5; ++k) W::store(pl[k] + i, v[k]);
  }
  template <class W, class PL>
  static void pair(const PL &pl, int i) {
    typename W::reg a[5], b[5], m[10];
    for (int k = 0; k < 5; ++k) {
      a[k] = W::load(pl[k] + i);
      b[k] = W::load(pl[k] + i + 1);
    }
    median5_merge55<W>(a, b, m);
    for (int k = 0; k < 10; ++k) W::store(pl[5 + k] + i, m[k]);
  }
  template <class W, class PL>
  static typename W::reg row(const PL &pl, int i, const uint16_t *const *, int, uint32_t) {
    typename W::reg a[10], b[10], c[5];
    for (int k = 0; k < 10; ++k) {
      a[k] = W::load(pl[5 + k] + i);
      b[k] = W::load(pl[5 + k] + i + 2);
    }
    for (int k = 0; k < 5; ++k) c[k] = W::load(pl[k] + i + 4);
    return median5_select<W>(a, b, c);
  }
};

// Sum of 8 neighbours >> 3 in 16-bit lanes: with v = 8q + r the result is
// sum(q) + (sum(r) >> 3), and sum(q) <= 65528 for 8 values, so it fits.
// Planes: column sums of q and of r, and the same without the centre row.
struct Box3 {
  static constexpr int R = 1, P = 4, P2 = 0;
  template <class W, class PL>
  static void column(const uint16_t *const *rows, int x, const PL &pl, int i) {
    const auto seven = W::set1(7);
    const auto a = W::load(rows[0] + x), b = W::load(rows[1] + x), c = W::load(rows[2] + x);
    const auto q_tb = W::add(W::template shr<3>(a), W::template shr<3>(c));
    const auto r_tb = W::add(W::and_(a, seven), W::and_(c, seven));
    W::store(pl[0] + i, W::add(q_tb, W::template shr<3>(b)));
    W::store(pl[1] + i, W::add(r_tb, W::and_(b, seven)));
    W::store(pl[2] + i, q_tb);
    W::store(pl[3] + i, r_tb);
  }
  template <class W, class PL>
  static typename W::reg row(const PL &pl, int i, const uint16_t *const *, int, uint32_t) {
    const auto q =
        W::add(W::add(W::load(pl[0] + i), W::load(pl[2] + i + 1)), W::load(pl[0] + i + 2));
    const auto r =
        W::add(W::add(W::load(pl[1] + i), W::load(pl[3] + i + 1)), W::load(pl[1] + i + 2));
    return W::add(q, W::template shr<3>(r));
  }
};

// Weights 1 2 1 / 2 4 2 / 1 2 1, sum >> 4: with v = 16q + r the result is
// sum(w q) + (sum(w r) >> 4); both sums fit 16 bits. Planes: vertical
// 1 2 1 sums of q and of r.
struct Gauss3 {
  static constexpr int R = 1, P = 2, P2 = 0;
  template <class W>
  static typename W::reg sum121(typename W::reg a, typename W::reg b, typename W::reg c) {
    return W::add(W::add(a, c), W::add(b, b));
  }
  template <class W, class PL>
  static void column(const uint16_t *const *rows, int x, const PL &pl, int i) {
    const auto fifteen = W::set1(15);
    const auto a = W::load(rows[0] + x), b = W::load(rows[1] + x), c = W::load(rows[2] + x);
    W::store(pl[0] + i,
             sum121<W>(W::template shr<4>(a), W::template shr<4>(b), W::template shr<4>(c)));
    W::store(pl[1] + i, sum121<W>(W::and_(a, fifteen), W::and_(b, fifteen), W::and_(c, fifteen)));
  }
  template <class W, class PL>
  static typename W::reg row(const PL &pl, int i, const uint16_t *const *, int, uint32_t) {
    const auto q = sum121<W>(W::load(pl[0] + i), W::load(pl[0] + i + 1), W::load(pl[0] + i + 2));
    const auto r = sum121<W>(W::load(pl[1] + i), W::load(pl[1] + i + 1), W::load(pl[1] + i + 2));
    return W::add(q, W::template shr<4>(r));
  }
};

// Neighbours are divided by 4 first, so every 1 2 1 sum fits 16 bits and
// |gx|, |gy| are differences of two such sums. Planes: vertical 1 2 1 sum,
// top row / 4, bottom row / 4.
struct Flypix3 {
  static constexpr int R = 1, P = 3, P2 = 0;
  template <class W, class PL>
  static void column(const uint16_t *const *rows, int x, const PL &pl, int i) {
    const auto a = W::template shr<2>(W::load(rows[0] + x));
    const auto b = W::template shr<2>(W::load(rows[1] + x));
    const auto c = W::template shr<2>(W::load(rows[2] + x));
    W::store(pl[0] + i, Gauss3::sum121<W>(a, b, c));
    W::store(pl[1] + i, a);
    W::store(pl[2] + i, c);
  }
  template <class W, class PL>
  static typename W::reg row(const PL &pl, int i, const uint16_t *const *rows, int x, uint32_t t) {
    const auto ax = W::absdiff(W::load(pl[0] + i + 2), W::load(pl[0] + i));
    const auto top =
        Gauss3::sum121<W>(W::load(pl[1] + i), W::load(pl[1] + i + 1), W::load(pl[1] + i + 2));
    const auto bot =
        Gauss3::sum121<W>(W::load(pl[2] + i), W::load(pl[2] + i + 1), W::load(pl[2] + i + 2));
    return W::fly(ax, W::absdiff(bot, top), t >> 4, W::load(rows[1] + x));
  }
};

// Signed 16-bit maxima. Planes: maximum of the column without its centre
// row, maximum of the whole column.
template <int Rad>
struct Fhole {
  static constexpr int R = Rad, P = 2, P2 = 0;
  template <class W, class PL>
  static void column(const uint16_t *const *rows, int x, const PL &pl, int i) {
    auto m = W::load(rows[0] + x);
    for (int k = 1; k <= 2 * R; ++k)
      if (k != R) m = W::max_s(m, W::load(rows[k] + x));
    W::store(pl[0] + i, m);
    W::store(pl[1] + i, W::max_s(m, W::load(rows[R] + x)));
  }
  template <class W, class PL>
  static typename W::reg row(const PL &pl, int i, const uint16_t *const *rows, int x, uint32_t) {
    auto m = W::load(pl[0] + i + R);
    for (int k = 0; k <= 2 * R; ++k)
      if (k != R) m = W::max_s(m, W::load(pl[1] + i + k));
    return W::keep_positive(W::load(rows[R] + x), m);
  }
};

template <class K, class W, class PL>
inline void column_range(const uint16_t *const *rows, int a, int b, const PL &pl, int base) {
  int x = a;
  for (; x + W::N <= b; x += W::N) K::template column<W>(rows, x, pl, x - base);
  if (x < b) K::template column<W>(rows, b - W::N, pl, b - W::N - base);
}

// The planes of a chunk, one buffer row each: plane p starts at base + p * S,
// so that every plane address is one register plus a constant.
template <int S>
struct Planes {
  uint16_t *base;
  uint16_t *operator[](int p) const { return base + p * S; }
};

template <class K, class V>
void run(uint16_t *dst, const uint16_t *src, int w, int h, uint32_t arg) {
  // Chunks of 512 columns: images up to that width (the cameras' 320
  // included) take one chunk per row, with no second chunk reaching back.
  constexpr int R = K::R, N = V::N, C = 512;
  constexpr int NP = K::P + K::P2;
  // Planes start on 64-byte lines, so that the loads at whole vectors from
  // the chunk start do not straddle two lines.
  constexpr int BW = ((C > N ? C : N) + 2 * R + 31) / 32 * 32;
  alignas(64) uint16_t buf[NP][BW];
  const Planes<BW> pl{&buf[0][0]};
  const uint16_t *rows[2 * R + 1];
  const bool wide = w >= N;
  for (int y = 0; y < h; ++y) {
    for (int k = 0; k <= 2 * R; ++k)
      rows[k] = src + static_cast<std::size_t>(clamp_index(y + k - R, h - 1)) *
                          static_cast<std::size_t>(w);
    uint16_t *drow = dst + static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
    for (int x0 = 0; x0 < w; x0 += C) {
      const int x1 = w - x0 < C ? w : x0 + C;
      // A short last chunk reaches back so that whole vectors fit.
      const int cx0 = (x1 - x0 < N && wide) ? x1 - N : x0;
      const int base = cx0 - R;  // column of buffer index 0
      const int a = base < 0 ? 0 : base, b = x1 + R > w ? w : x1 + R;
      if (b - a >= N)
        column_range<K, V>(rows, a, b, pl, base);
      else
        column_range<K, Scalar>(rows, a, b, pl, base);
      for (int x = base; x < 0; ++x)
        for (int p = 0; p < K::P; ++p) pl[p][x - base] = pl[p][-base];
      for (int x = w; x < x1 + R; ++x)
        for (int p = 0; p < K::P; ++p) pl[p][x - base] = pl[p][w - 1 - base];
      if constexpr (K::P2 > 0) {
        const int pairs = x1 + R - base - 1;
        int i = 0;
        if (pairs >= N) {
          for (; i + N <= pairs; i += N) K::template pair<V>(pl, i);
          if (i < pairs) K::template pair<V>(pl, pairs - N);
        } else {
          for (; i < pairs; ++i) K::template pair<Scalar>(pl, i);
        }
      }
      int x = cx0;
      if (wide) {
        for (; x + N <= x1; x += N)
          V::store(drow + x, K::template row<V>(pl, x - cx0, rows, x, arg));
        if (x < x1)
          V::store(drow + x1 - N, K::template row<V>(pl, x1 - N - cx0, rows, x1 - N, arg));
      } else {
        for (; x < x1; ++x)
          Scalar::store(drow + x, K::template row<Scalar>(pl, x - cx0, rows, x, arg));
      }
    }
  }
}

inline const torvi::FilterSet &make_filter_set(const char *name) {
  static const torvi::FilterSet set = {name,
                                       run<Median3, Vec>,
                                       run<Median5, Vec>,
                                       run<Box3, Vec>,
                                       run<Gauss3, Vec>,
                                       run<Flypix3, Vec>,
                                       run<Fhole<1>, Vec>,
                                       run<Fhole<2>, Vec>};
  return set;
}

}  // namespace KX_SIMD_NS
