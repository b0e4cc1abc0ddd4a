#pragma once

// How a cell's byte is drawn on a terminal. Printable ASCII is itself; the upper half follows
// the Windows-1252 code page and the control bytes the classic console symbols, so that every
// byte takes exactly one column.
wchar_t glyphForByte(unsigned char byte);

// For terminals that cannot show Unicode: printable ASCII as itself, anything else as '?'.
char asciiGlyphForByte(unsigned char byte);

// Console colour (bit 0 blue, bit 1 green, bit 2 red, bit 3 bright) to the terminal's ANSI
// numbering (bit 0 red, bit 1 green, bit 2 blue, bit 3 bright).
int ansiColourForConsoleColour(int consoleColour);
