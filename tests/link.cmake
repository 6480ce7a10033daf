# tests of link/
