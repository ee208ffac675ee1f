function demo_gridlerp(outdir)
  %DEMO_GRIDLERP Zoom and rotate a picture by resampling it with GRIDLERP.
  image = synthetic_picture(256);
  save_picture(outdir, 'gridlerp_source', image);

  % A 4x zoom into the top-left corner: 0-based positions a quarter pixel apart.
  [x, y] = meshgrid(0:0.25:63.75, 0:0.25:63.75);
  save_picture(outdir, 'gridlerp_zoom', gridlerp(image, x, y));
  printf('  zoomed the top-left 64 x 64 pixels four times (%d samples)\n', numel(x));

  % A rotation by 30 degrees about the centre. Positions that fall off the
  % picture are clamped onto it, so its border pixels stretch outwards.
  [c, r] = meshgrid(0:255, 0:255);
  t = pi / 6; cx = 127.5; cy = 127.5;
  x = cos(t) * (c - cx) - sin(t) * (r - cy) + cx;
  y = sin(t) * (c - cx) + cos(t) * (r - cy) + cy;
  save_picture(outdir, 'gridlerp_rotated', gridlerp(image, x, y));
  printf('  rotated the picture by 30 degrees about its centre\n');
end
