# tests of the live panel (emu/http_panel.*) in headless Chromium, driven by playwright-core
# from npm (tests/browser/); skipped, saying why, when node or chromium is missing.
add_test(NAME browser.panel
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/browser/run.sh $<TARGET_FILE:qp7730-emu> $<TARGET_FILE:qp7730>
          ${CMAKE_CURRENT_BINARY_DIR}/browser)
set_tests_properties(browser.panel PROPERTIES LABELS browser SKIP_RETURN_CODE 77 TIMEOUT 180)
