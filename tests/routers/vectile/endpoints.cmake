# Tests of the tile endpoints. Included from this folder's CMakeLists.txt.
#
# vectile_unit_test: pure functions and documents (no services).
add_executable(vectile_unit_test
  zoom_test.cpp
  mlt_encoder_test.cpp
  mvt_sql_test.cpp
  tiles_test.cpp
  bbox_test.cpp
  text_test.cpp
  catalogue_test.cpp
  changes_keys_test.cpp
)
target_compile_features(vectile_unit_test PRIVATE cxx_std_20)
target_link_libraries(vectile_unit_test PRIVATE test_support vectile server GTest::gtest_main project_warnings)
gtest_discover_tests(vectile_unit_test PROPERTIES LABELS unit)

# vectile_endpoints_test: the routes driven through the host application
# against PostgreSQL+PostGIS (DATABASE_URL) and Redis (REDIS_HOST/REDIS_PORT),
# with failure injection: held locks, a scratch database, stopped Redis.
add_executable(vectile_endpoints_test
  endpoint_fixture.cpp
  tiles_endpoint_test.cpp
  bbox_endpoint_test.cpp
  centroid_endpoint_test.cpp
  invalidation_endpoint_test.cpp
  tilejson_endpoint_test.cpp
  sessions_pg_test.cpp
  coalescing_test.cpp
  seeding_test.cpp
  lifetime_test.cpp
)
target_compile_definitions(vectile_endpoints_test PRIVATE GIS_STYLE_LAYERS_FILE="${CMAKE_SOURCE_DIR}/web/style-layers.json")
target_compile_features(vectile_endpoints_test PRIVATE cxx_std_20)
target_link_libraries(vectile_endpoints_test
  PRIVATE test_support vectile server PostgreSQL::PostgreSQL GTest::gtest_main project_warnings)
add_dependencies(vectile_endpoints_test gisd)
gtest_discover_tests(vectile_endpoints_test DISCOVERY_TIMEOUT 30 PROPERTIES LABELS service)
