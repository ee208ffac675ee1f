function test_parallel()
  % Many images on several processes with the parallel package: parcellfun
  % over a stack of images gives, for every module, the same bits as a plain
  % loop. Where the package's cluster functions run over the loopback
  % interface, a server of this machine gives the same bits too.
  if isempty(pkg('list', 'parallel'))
    printf('not checked on this machine: parcellfun (the parallel package is not installed)\n');
    return;
  end
  pkg load parallel

  % Eight 40 x 48 images from a fixed integer sequence.
  images = cell(1, 8);
  for k = 1:numel(images)
    images{k} = mod((1:40)' * (3 * k + 1) + (1:48) * (5 * k + 2), 251) - 125;
  end
  runs = {@run_gridlerp, @run_patchwarp, @run_envsweep, @run_linscore};
  for r = 1:numel(runs)
    serial = cellfun(runs{r}, images, 'UniformOutput', false);
    parallel = parcellfun(2, runs{r}, images, 'UniformOutput', false, 'VerboseLevel', 0);
    assert(same_results(serial, parallel), 'parcellfun differs from the loop: %s', ...
           func2str(runs{r}));
  end
  printf('parcellfun: 4 modules x %d images, the same bits as the loop\n', numel(images));
  check_cluster(images, runs);
end

function r = run_gridlerp(image)
  [X, Y] = meshgrid(linspace(-1.5, 48.5, 31), linspace(-1.5, 40.5, 23));
  r = {gridlerp(image, X, Y)};
end

function r = run_patchwarp(image)
  [p, x, y] = patchwarp(image, zeros(15, 17), [0.8 0.5 -0.5 0.8 24 20]);
  r = {p, x, y};
end

function r = run_envsweep(image)
  [v, c, w] = envsweep(image, 0.05, 0, 0.08, 0, 2, 1, 20, 16, 2.5);
  r = {v, c, w};
end

function r = run_linscore(image)
  % The image's columns as samples, its rows as features.
  r = {linscore(image, mean(image, 2), 64 * ones(40, 1), (-20:20)' / 16)};
end

function same = same_results(a, b)
  same = isequal(size(a), size(b));
  for k = 1:numel(a)
    same = same && numel(a{k}) == numel(b{k});
    for j = 1:numel(a{k})
      same = same && strcmp(class(a{k}{j}), class(b{k}{j})) && bits_equal(a{k}{j}, b{k}{j});
    end
  end
end

% The cluster functions: a server of this machine (octave-pserver, started
% without TLS on ports of its own), connected over 127.0.0.1, each image sent
% to it with netcellfun. Any step that cannot run here ends the check with
% the reason; the server is stopped by the process id it records.
function check_cluster(images, runs)
  what = 'the parallel package''s cluster functions over loopback';
  server = '/usr/libexec/octave-pserver';
  if getuid() == 0
    printf('not checked on this machine: %s (octave-pserver refuses to run as root)\n', what);
    return;
  elseif ~exist(server, 'file')
    printf('not checked on this machine: %s (no %s)\n', what, server);
    return;
  end
  ports = struct('use_tls', false, 'cmd_port', 12602, 'data_port', 12601);
  [status, output] = system(sprintf('%s --octave-binary=%s --no-auth --cmd-port=%d --data-port=%d', ...
                                    server, fullfile(OCTAVE_HOME, 'bin', 'octave-cli'), ...
                                    ports.cmd_port, ports.data_port));
  [~, host] = system('hostname');
  pid = str2double(fileread(sprintf('/tmp/.octave-%s.pid', strtrim(host))));
  if status ~= 0 || isnan(pid)
    printf('not checked on this machine: %s (octave-pserver: %s)\n', what, strtrim(output));
    return;
  end
  stop = onCleanup(@() kill(pid, 15));
  connections = [];
  why = '';
  for attempt = 1:8
    try
      connections = pconnect({'127.0.0.1'}, ports);
      break;
    catch err
      why = err.message;
      pause(0.25);
    end
  end
  if isempty(connections)
    printf('not checked on this machine: %s (pconnect: %s)\n', what, why);
    return;
  end
  % The server finds the modules and these tests where this session does.
  reval(sprintf('addpath(''%s''); addpath(''%s'');', fileparts(which('gridlerp')), ...
                fileparts(mfilename('fullpath'))), connections(2));
  for r = 1:numel(runs)
    serial = cellfun(runs{r}, images, 'UniformOutput', false);
    remote = netcellfun(connections, runs{r}, images, 'UniformOutput', false);
    assert(same_results(serial, remote), 'the cluster differs from the loop: %s', ...
           func2str(runs{r}));
  end
  sclose(connections);
  printf('cluster over loopback: 4 modules x %d images, the same bits as the loop\n', numel(images));
end
