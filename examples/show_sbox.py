"""Imports the module and shows the first bytes of the S-box it generated."""
import qoxcrypto.crypto as crypto

print("S-box, first 8 bytes:", crypto._SBOX[:8].hex(" "))
print("xtime(0x57) =", hex(crypto._xtime(0x57)), " mul(0x57, 0x83) =", hex(crypto._mul(0x57, 0x83)))
