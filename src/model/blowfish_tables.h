#pragma once

// Hexadecimal text of the initial Blowfish tables: 144 digits for the P-array,
// 2048 for each S-box, most significant digit first.
namespace BlowfishTables {
extern const char *const parray;
extern const char *const sbox1;
extern const char *const sbox2;
extern const char *const sbox3;
extern const char *const sbox4;
} // namespace BlowfishTables
