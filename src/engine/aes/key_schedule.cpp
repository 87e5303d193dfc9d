// Key expansion and round-key schedule construction.
#include "engine/aes/key_schedule.h"

#include <utility>

#include "engine/aes/field.h"
#include "engine/cpu/wipe.h"

namespace qox::aes {

namespace {

uint32_t sub_word(uint32_t t) {
  const auto& s = sboxes().sbox;
  return (static_cast<uint32_t>(s[t >> 24]) << 24) |
         (static_cast<uint32_t>(s[(t >> 16) & 0xFF]) << 16) |
         (static_cast<uint32_t>(s[(t >> 8) & 0xFF]) << 8) | s[t & 0xFF];
}

constexpr uint32_t rotl8(uint32_t t) { return (t << 8) | (t >> 24); }

RoundKey cut(const std::vector<uint32_t>& w, size_t r) {
  return {w[4 * r], w[4 * r + 1], w[4 * r + 2], w[4 * r + 3]};
}

}  // namespace

uint32_t inv_mix_word(uint32_t w) {
  const uint8_t a0 = static_cast<uint8_t>(w >> 24);
  const uint8_t a1 = static_cast<uint8_t>(w >> 16);
  const uint8_t a2 = static_cast<uint8_t>(w >> 8);
  const uint8_t a3 = static_cast<uint8_t>(w);
  const uint32_t r0 = mul(a0, 14) ^ mul(a1, 11) ^ mul(a2, 13) ^ mul(a3, 9);
  const uint32_t r1 = mul(a0, 9) ^ mul(a1, 14) ^ mul(a2, 11) ^ mul(a3, 13);
  const uint32_t r2 = mul(a0, 13) ^ mul(a1, 9) ^ mul(a2, 14) ^ mul(a3, 11);
  const uint32_t r3 = mul(a0, 11) ^ mul(a1, 13) ^ mul(a2, 9) ^ mul(a3, 14);
  return (r0 << 24) | (r1 << 16) | (r2 << 8) | r3;
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
