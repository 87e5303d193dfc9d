// Key expansion and round-key schedule construction.
#include "engine/aes/key_schedule.h"

#include <utility>

#include "engine/aes/portable/bitsliced.h"
#include "engine/cpu/wipe.h"

namespace qox::aes {

namespace {

// Key bytes go through the S-box circuit, never through a table.
uint32_t sub_word(uint32_t t) { return sub_word_bitsliced(t); }

constexpr uint32_t rotl8(uint32_t t) { return (t << 8) | (t >> 24); }
constexpr uint32_t rotl16(uint32_t t) { return (t << 16) | (t >> 16); }
constexpr uint32_t rotl24(uint32_t t) { return (t << 24) | (t >> 8); }

// Each byte times x, reduced, with neither a branch nor a table: the carry
// bit of each byte selects 0x1B by multiplication.
constexpr uint32_t times_x(uint32_t w) {
  return ((w & 0x7F7F7F7Fu) << 1) ^ (((w >> 7) & 0x01010101u) * 0x1Bu);
}

RoundKey cut(const std::vector<uint32_t>& w, size_t r) {
  return {w[4 * r], w[4 * r + 1], w[4 * r + 2], w[4 * r + 3]};
}

}  // namespace

// Byte r of the result is 14*a[r] ^ 11*a[r+1] ^ 13*a[r+2] ^ 9*a[r+3]; all
// four bytes at once, the products from 2a, 4a and 8a.
uint32_t inv_mix_word(uint32_t w) {
  const uint32_t w2 = times_x(w), w4 = times_x(w2), w8 = times_x(w4);
  const uint32_t w9 = w8 ^ w, w11 = w9 ^ w2, w13 = w9 ^ w4, w14 = w8 ^ w4 ^ w2;
  return w14 ^ rotl8(w11) ^ rotl16(w13) ^ rotl24(w9);
}

ExpandStatus expand_key_words(const uint8_t* key, size_t len, std::vector<uint32_t>& w) {
  w.clear();
  if (len == 0) return ExpandStatus::empty_key;
  const size_t nk = len / 4;
  if (nk == 0) return ExpandStatus::short_key;
  const size_t nr = nk + 6;
  const size_t total = 4 * (nr + 1);
  w.reserve((len + 3) / 4 + total - nk);
  for (size_t i = 0; i < len; i += 4) {
    uint32_t v = 0;
    for (size_t j = i; j < len && j < i + 4; ++j) v = (v << 8) | key[j];
    w.push_back(v);
  }
  uint32_t rcon = 1;
  for (size_t i = nk; i < total; ++i) {
    uint32_t t = w[i - 1];
    if (i % nk == 0) {
      t = sub_word(rotl8(t)) ^ (rcon << 24);
      rcon = (rcon & 0x80) ? ((rcon << 1) ^ 0x1B) & 0xFF : rcon << 1;
    } else if (nk > 6 && i % nk == 4) {
      t = sub_word(t);
    }
    // Appended, not stored at i: see the header note on partial words.
    w.push_back(w[i - nk] ^ t);
  }
  return ExpandStatus::ok;
}

ExpandStatus expand_key(const uint8_t* key, size_t len, SchedulePair& out) {
  // Every list below is sized once (expand_key_words reserves its final
  // size, the copies and mid lists are exact), so none of them leaves an
  // unwiped buffer behind by growing.
  std::vector<uint32_t> w;
  const cpu::OnScopeExit wipe_w([&w] { wipe(w); });
  const ExpandStatus st = expand_key_words(key, len, w);
  if (st != ExpandStatus::ok) return st;
  const size_t nr = len / 4 + 6;

  std::vector<uint32_t> dw = w;
  const cpu::OnScopeExit wipe_dw([&dw] { wipe(dw); });
  for (size_t i = 4; i < 4 * nr; ++i) dw[i] = inv_mix_word(w[i]);

  SchedulePair p;
  const cpu::OnScopeExit wipe_p([&p] { wipe(p); });  // its outer keys stay behind after the move
  p.enc.nr = p.dec.nr = static_cast<int>(nr);
  p.enc.first = cut(w, 0);
  p.enc.last = cut(w, nr);
  p.dec.first = cut(dw, nr);
  p.dec.last = cut(dw, 0);
  p.enc.mid.reserve(nr - 1);
  p.dec.mid.reserve(nr - 1);
  for (size_t r = 1; r < nr; ++r) {
    p.enc.mid.push_back(cut(w, r));
    p.dec.mid.push_back(cut(dw, nr - r));
  }
  // The assignment releases the buffers of any schedule `out` held: wipe them first.
  wipe(out);
  out = std::move(p);
  return ExpandStatus::ok;
}

void wipe(Schedule& s) noexcept {
  cpu::wipe(s.first.data(), s.first.size());
  cpu::wipe(s.mid.data(), s.mid.capacity());
  cpu::wipe(s.last.data(), s.last.size());
}

void wipe(SchedulePair& p) noexcept {
  wipe(p.enc);
  wipe(p.dec);
}

void wipe(std::vector<uint32_t>& words) noexcept { cpu::wipe(words.data(), words.capacity()); }

}  // namespace qox::aes
