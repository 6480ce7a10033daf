# tests of e2e/
