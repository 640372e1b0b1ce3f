# tarvo-service's tests: the contract tests (test_service, from the module
# loop) on SQLite, the same again on a PostgreSQL cluster each test starts
# ("postgresql." before their names), and the dashboard in headless chromium.
if(TARGET test_service AND TARGET tarvo-service)
  add_dependencies(test_service tarvo-service)
  # HttpServerTest drives the service's server in-process.
  target_link_libraries(test_service PRIVATE tarvo_service_lib)
  target_compile_definitions(test_service PRIVATE
    TARVO_SERVICE_BINARY="$<TARGET_FILE:tarvo-service>")
  gtest_discover_tests(test_service DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    TEST_PREFIX "postgresql."
    PROPERTIES ENVIRONMENT TARVO_TEST_DATABASE=postgresql LABELS test_service)
  find_program(CHROMEDRIVER chromedriver PATHS /usr/bin /usr/lib/chromium)
  if(CHROMEDRIVER)
    add_test(NAME service_dashboard_browser
      COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/dashboard_browser.py
        $<TARGET_FILE:tarvo-service>)
    set_tests_properties(service_dashboard_browser PROPERTIES TIMEOUT 180)
  endif()
endif()
