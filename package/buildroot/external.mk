include $(sort $(wildcard $(BR2_EXTERNAL_MP_TEST_PATH)/package/*/*.mk))
