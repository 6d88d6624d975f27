namespace veltrane::apt {}
