# tests of emu/
