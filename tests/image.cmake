# tests of image/
