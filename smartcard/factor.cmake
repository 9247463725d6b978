# The factor, its controller and its two flows.
list(APPEND smartcard_sources
  ${CMAKE_CURRENT_LIST_DIR}/smart_card_authenticate_flow.cc
  ${CMAKE_CURRENT_LIST_DIR}/smart_card_controller.cc
  ${CMAKE_CURRENT_LIST_DIR}/smart_card_enrollment_flow.cc
  ${CMAKE_CURRENT_LIST_DIR}/smart_card_exchange.cc
  ${CMAKE_CURRENT_LIST_DIR}/smart_card_factor.cc
  ${CMAKE_CURRENT_LIST_DIR}/smart_card_policy.cc
  ${CMAKE_CURRENT_LIST_DIR}/smart_card_user_store.cc)
